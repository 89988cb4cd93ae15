// The daemon's pieces without the kernel: the hold policy, the packet parser, the image-load
// records and the command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "daemon_options.h"
#include "device_server/request_table.h"
#include "events/driver_events.h"
#include "nfqueue/packet_parser.h"

namespace qltdifw {
namespace {

using namespace qxfw::firewall;
using namespace std::chrono_literals;

struct RecordedVerdicts : Verdicts {
  std::vector<uint32_t> accepted, dropped, rejected;
  void Accept(uint32_t id) override { accepted.push_back(id); }
  void Drop(uint32_t id) override { dropped.push_back(id); }
  void Reject(uint32_t id) override { rejected.push_back(id); }
};

FlowKey Flow(uint8_t protocol, uint16_t localPort) {
  return FlowKey{protocol, 0x0100000A, 0x0200000A, htons(localPort), htons(80)};
}

TEST(RequestTable, NoClientPassesAndHeldRequestsJoinAndReleaseTogether) {
  RecordedVerdicts verdicts;
  RequestTable table(&verdicts, 30s);
  auto now = RequestTable::Clock::now();
  EXPECT_EQ(table.Offer(1, Flow(IPPROTO_TCP, 1000), {}, false, now),
            RequestTable::Outcome::kPassed);
  EXPECT_EQ(verdicts.accepted, std::vector<uint32_t>{1});

  EXPECT_EQ(table.Offer(2, Flow(IPPROTO_TCP, 1001), {}, true, now), RequestTable::Outcome::kQueued);
  EXPECT_EQ(table.Offer(3, Flow(IPPROTO_TCP, 1001), {}, true, now),
            RequestTable::Outcome::kJoined);  // the retransmitted SYN
  EXPECT_EQ(table.Offer(4, Flow(IPPROTO_TCP, 1002), {}, true, now), RequestTable::Outcome::kQueued);
  CNETWORK_REQUEST first{}, second{}, none{};
  ASSERT_TRUE(table.Next(&first));
  ASSERT_TRUE(table.Next(&second));
  EXPECT_FALSE(table.Next(&none));
  EXPECT_NE(first.requestHandle, 0u);
  EXPECT_NE(first.requestHandle, second.requestHandle);

  ASSERT_TRUE(table.SetVerdict(first.requestHandle, kVerdictBlock, now));
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{2, 3}));
  EXPECT_FALSE(table.SetVerdict(first.requestHandle, kVerdictAllow, now));  // answered already
  // Any verdict other than allow blocks.
  ASSERT_TRUE(table.SetVerdict(second.requestHandle, 7, now));
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(table.Held(), 0u);
}

TEST(RequestTable, UnansweredRequestsExpireAndAGoneClientPassesTheRest) {
  RecordedVerdicts verdicts;
  RequestTable table(&verdicts, 2s);
  auto now = RequestTable::Clock::now();
  table.Offer(1, Flow(IPPROTO_TCP, 1), {}, true, now);
  table.Offer(2, Flow(IPPROTO_TCP, 2), {}, true, now + 1s);
  EXPECT_EQ(table.NextDeadline(), now + 2s);
  EXPECT_EQ(table.Expire(now + 1900ms), 0u);
  EXPECT_EQ(table.Expire(now + 2s), 1u);
  EXPECT_EQ(verdicts.dropped, std::vector<uint32_t>{1});
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(table.Next(&request));  // the expired one is skipped
  EXPECT_EQ(request.requestHandle, 2u);
  table.ReleaseAll();
  EXPECT_EQ(verdicts.accepted, std::vector<uint32_t>{2});
  EXPECT_EQ(table.Held(), 0u);
  EXPECT_EQ(table.NextDeadline(), RequestTable::Clock::time_point::max());
}

TEST(RequestTable, UdpFlowKeepsItsVerdictForALittleWhile) {
  RecordedVerdicts verdicts;
  RequestTable table(&verdicts, 30s);
  auto now = RequestTable::Clock::now();
  table.Offer(1, Flow(IPPROTO_UDP, 53), {}, true, now);
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(table.Next(&request));
  table.SetVerdict(request.requestHandle, kVerdictBlock, now);
  EXPECT_EQ(table.Offer(2, Flow(IPPROTO_UDP, 53), {}, true, now + 1s),
            RequestTable::Outcome::kDecided);
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(table.Offer(3, Flow(IPPROTO_UDP, 53), {}, true, now + RequestTable::kUdpVerdictTime),
            RequestTable::Outcome::kQueued);
  // A TCP flow with the same ends never borrows it.
  EXPECT_EQ(table.Offer(4, Flow(IPPROTO_TCP, 53), {}, true, now), RequestTable::Outcome::kQueued);
}

std::vector<uint8_t> Ipv4(uint8_t protocol, size_t transportBytes) {
  std::vector<uint8_t> packet(20 + transportBytes, 0);
  packet[0] = 0x45;
  packet[9] = protocol;
  packet[12] = 10, packet[15] = 1;                                         // 10.0.0.1
  packet[16] = 10, packet[19] = 2;                                         // 10.0.0.2
  packet[20] = 0x04, packet[21] = 0xD2;                                    // port 1234
  packet[22] = 0x00, packet[23] = 0x50;                                    // port 80
  if (protocol == IPPROTO_TCP && transportBytes >= 14) packet[33] = 0x02;  // SYN
  return packet;
}

TEST(PacketParser, ReadsTheEndsAndRefusesWhatItCannotRead) {
  PacketInfo info;
  std::vector<uint8_t> tcp = Ipv4(IPPROTO_TCP, 20);
  ASSERT_TRUE(ParsePacket(tcp.data(), tcp.size(), &info));
  EXPECT_EQ(info.localPort, htons(1234));
  EXPECT_EQ(info.remotePort, htons(80));
  EXPECT_EQ(ntohl(info.remoteAddr), 0x0A000002u);
  EXPECT_TRUE(info.syn);
  tcp[33] = 0x12;  // SYN ACK is no connection attempt
  ASSERT_TRUE(ParsePacket(tcp.data(), tcp.size(), &info));
  EXPECT_FALSE(info.syn);
  EXPECT_FALSE(ParsePacket(tcp.data(), 39, &info));  // TCP header cut short
  std::vector<uint8_t> udp = Ipv4(IPPROTO_UDP, 8);
  EXPECT_TRUE(ParsePacket(udp.data(), udp.size(), &info));
  EXPECT_FALSE(ParsePacket(udp.data(), 27, &info));
  udp[0] = 0x4F;  // header length past the packet
  EXPECT_FALSE(ParsePacket(udp.data(), udp.size(), &info));
  udp[0] = 0x44;  // header length below the minimum
  EXPECT_FALSE(ParsePacket(udp.data(), udp.size(), &info));
  udp[0] = 0x45;
  udp[7] = 0x10;  // a later fragment
  EXPECT_FALSE(ParsePacket(udp.data(), udp.size(), &info));
  std::vector<uint8_t> icmp = Ipv4(IPPROTO_ICMP, 8);
  EXPECT_FALSE(ParsePacket(icmp.data(), icmp.size(), &info));
  std::vector<uint8_t> v6 = Ipv4(IPPROTO_TCP, 20);
  v6[0] = 0x60;
  EXPECT_FALSE(ParsePacket(v6.data(), v6.size(), &info));
  EXPECT_FALSE(ParsePacket(nullptr, 0, &info));
}

TEST(ImageRecords, PathsAreConvertedAndCutSafely) {
  tagIMAGE_LOAD_W wide = WideImageRecord(7, "/usr/bin/\xED\x95\x9C-\xF0\x9F\x98\x80");
  EXPECT_EQ(wide.processId, 7u);
  std::u16string expected = u"/usr/bin/\uD55C-\U0001F600";
  EXPECT_EQ(std::u16string(wide.path), expected);
  std::string longPath(400, 'a');
  wide = WideImageRecord(1, longPath);
  EXPECT_EQ(std::u16string(wide.path).size(), kImagePathUnits - 1);  // NUL kept
  wide = WideImageRecord(1, "/bad\xFF\xC3");
  EXPECT_EQ(std::u16string(wide.path), u"/bad\uFFFD\uFFFD");

  std::string korean;
  for (int i = 0; i < 100; ++i) korean += "\xED\x95\x9C";  // 300 bytes of 3-byte characters
  tagIMAGE_LOAD_A narrow = NarrowImageRecord(2, korean);
  size_t length = std::strlen(narrow.path);
  EXPECT_LE(length, kImagePathBytes - 1);
  EXPECT_EQ(length % 3, 0u);  // never inside a character
}

TEST(DaemonOptions, AcceptsTheDocumentedOptionsAndRefusesBadOnes) {
  auto parse = [](std::vector<const char*> args, DaemonOptions* options) {
    args.insert(args.begin(), "qltdifw");
    return ParseDaemonOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()),
                              options);
  };
  DaemonOptions options;
  ASSERT_EQ(parse({"--foreground", "--netns", "ns1", "--queue", "7", "--runtime-dir", "/tmp/x",
                   "--user", "1000", "--hold-timeout", "5", "--spin-us", "0", "--aligned-records"},
                  &options),
            0);
  EXPECT_TRUE(options.foreground);
  EXPECT_EQ(options.netns, "ns1");
  EXPECT_EQ(options.queue, 7);
  EXPECT_EQ(options.runtimeDir, "/tmp/x");
  EXPECT_EQ(options.user, 1000u);
  EXPECT_EQ(options.holdTimeoutSeconds, 5);
  EXPECT_EQ(options.spinMicroseconds, 0);
  EXPECT_TRUE(options.alignedRecords);
  for (std::vector<const char*> bad :
       std::vector<std::vector<const char*>>{{"--queue", "70000"},
                                             {"--queue"},
                                             {"--hold-timeout", "0"},
                                             {"--spin-us", "-1"},
                                             {"--spin-us", "10001"},
                                             {"--user", "x"},
                                             {"--runtime-dir", "relative"},
                                             {"--netns", "../x"},
                                             {"--bogus"}}) {
    DaemonOptions ignored;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(bad, &ignored), 2) << bad[0];
    testing::internal::GetCapturedStderr();
  }
}

}  // namespace
}  // namespace qltdifw
