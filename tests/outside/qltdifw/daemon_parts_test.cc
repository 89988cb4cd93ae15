// The daemon's pieces without the kernel: the hold policy, the packet parser, the image-load
// records and the command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_options.h"
#include "device_server/request_table.h"
#include "events/driver_events.h"
#include "log_throttle.h"
#include "nfqueue/packet_parser.h"
#include "systemd_notify.h"

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
  EXPECT_EQ(table.Offer(1, Flow(IPPROTO_TCP, 1000), {}, 1000, false, now),
            RequestTable::Outcome::kPassed);
  EXPECT_EQ(verdicts.accepted, std::vector<uint32_t>{1});

  EXPECT_EQ(table.Offer(2, Flow(IPPROTO_TCP, 1001), {}, 1000, true, now),
            RequestTable::Outcome::kQueued);
  // The retransmitted SYN: the held first one is all the connection needs.
  EXPECT_EQ(table.Offer(3, Flow(IPPROTO_TCP, 1001), {}, 1000, true, now),
            RequestTable::Outcome::kDropped);
  EXPECT_EQ(verdicts.dropped, std::vector<uint32_t>{3});
  EXPECT_EQ(table.Offer(4, Flow(IPPROTO_TCP, 1002), {}, 1000, true, now),
            RequestTable::Outcome::kQueued);
  CNETWORK_REQUEST first{}, second{}, none{};
  ASSERT_TRUE(table.Next(&first));
  ASSERT_TRUE(table.Next(&second));
  EXPECT_FALSE(table.Next(&none));
  EXPECT_NE(first.requestHandle, 0u);
  EXPECT_NE(first.requestHandle, second.requestHandle);

  ASSERT_TRUE(table.SetVerdict(first.requestHandle, kVerdictBlock, now));
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{2}));
  EXPECT_FALSE(table.SetVerdict(first.requestHandle, kVerdictAllow, now));  // answered already
  // Any verdict other than allow blocks.
  ASSERT_TRUE(table.SetVerdict(second.requestHandle, 7, now));
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(table.Held(), 0u);
}

TEST(RequestTable, UnansweredRequestsExpireAndAGoneClientPassesTheRest) {
  RecordedVerdicts verdicts;
  RequestTable table(&verdicts, 2s);
  auto now = RequestTable::Clock::now();
  table.Offer(1, Flow(IPPROTO_TCP, 1), {}, 1000, true, now);
  table.Offer(2, Flow(IPPROTO_TCP, 2), {}, 1000, true, now + 1s);
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
  table.Offer(1, Flow(IPPROTO_UDP, 53), {}, 1000, true, now);
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(table.Next(&request));
  table.SetVerdict(request.requestHandle, kVerdictBlock, now);
  EXPECT_EQ(table.Offer(2, Flow(IPPROTO_UDP, 53), {}, 1000, true, now + 1s),
            RequestTable::Outcome::kDecided);
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(
      table.Offer(3, Flow(IPPROTO_UDP, 53), {}, 1000, true, now + RequestTable::kUdpVerdictTime),
      RequestTable::Outcome::kQueued);
  // A TCP flow with the same ends never borrows it.
  EXPECT_EQ(table.Offer(4, Flow(IPPROTO_TCP, 53), {}, 1000, true, now),
            RequestTable::Outcome::kQueued);
}

CNETWORK_REQUEST OfProcess(uint32_t pid) {
  CNETWORK_REQUEST request{};
  request.processId = pid;
  return request;
}

TEST(RequestTable, AProcessOrUserHoldingTooManyRequestsIsRefusedAtOnce) {
  RecordedVerdicts verdicts;
  HoldLimits limits;
  RequestTable table(&verdicts, 30s, limits);
  auto now = RequestTable::Clock::now();
  uint32_t packet = 1;
  auto offer = [&](uint8_t protocol, uint16_t port, uint32_t pid, uint32_t uid) {
    return table.Offer(packet++, Flow(protocol, port), OfProcess(pid), uid, true, now);
  };
  // One process of user 1000 fills its share; its next flow is refused (rejected), not held.
  for (uint16_t port = 1; port <= limits.perProcess; ++port) {
    ASSERT_EQ(offer(IPPROTO_UDP, port, 77, 1000), RequestTable::Outcome::kQueued);
  }
  EXPECT_EQ(offer(IPPROTO_UDP, 9999, 77, 1000), RequestTable::Outcome::kRefused);
  EXPECT_EQ(offer(IPPROTO_TCP, 9998, 77, 1000), RequestTable::Outcome::kRefused);
  EXPECT_EQ(verdicts.rejected, (std::vector<uint32_t>{65, 66}));
  EXPECT_EQ(table.HeldOfProcess(1000, 77), limits.perProcess);
  // Another process of the same user and another user are not held up by it.
  EXPECT_EQ(offer(IPPROTO_TCP, 9997, 78, 1000), RequestTable::Outcome::kQueued);
  EXPECT_EQ(offer(IPPROTO_TCP, 9996, 77, 1001), RequestTable::Outcome::kQueued);

  // Many processes of one user fill the user's share; then every process of it is refused.
  uint16_t port = 10000;
  for (uint32_t pid = 100; table.HeldOfUser(1000) < limits.perUser; ++pid) {
    ASSERT_EQ(offer(IPPROTO_TCP, port++, pid, 1000), RequestTable::Outcome::kQueued);
  }
  EXPECT_EQ(offer(IPPROTO_TCP, port++, 5000, 1000), RequestTable::Outcome::kRefused);
  EXPECT_EQ(offer(IPPROTO_TCP, port++, 5000, 1001), RequestTable::Outcome::kQueued);

  // An answer, an expiry or the client's going frees the share.
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(table.Next(&request));
  EXPECT_EQ(request.processId, 77u);
  ASSERT_TRUE(table.SetVerdict(request.requestHandle, kVerdictBlock, now));
  EXPECT_EQ(table.HeldOfProcess(1000, 77), limits.perProcess - 1);
  EXPECT_EQ(offer(IPPROTO_TCP, port++, 5000, 1000), RequestTable::Outcome::kQueued);
  table.Expire(now + 30s);
  EXPECT_EQ(table.Held(), 0u);
  EXPECT_EQ(table.HeldOfUser(1000), 0u);
  EXPECT_EQ(table.HeldOfProcess(1000, 77), 0u);
  EXPECT_EQ(offer(IPPROTO_TCP, port++, 77, 1000), RequestTable::Outcome::kQueued);
  table.ReleaseAll();
  EXPECT_EQ(table.HeldOfUser(1000), 0u);
}

TEST(RequestTable, RepeatedPacketsOfAHeldFlowAreNoNewRequestsAndAreBounded) {
  RecordedVerdicts verdicts;
  HoldLimits limits;
  RequestTable table(&verdicts, 30s, limits);
  auto now = RequestTable::Clock::now();
  // 100 datagrams of one UDP flow while its request is held: one request, the first few kept,
  // the rest dropped at once instead of filling the queue.
  EXPECT_EQ(table.Offer(1, Flow(IPPROTO_UDP, 53), OfProcess(9), 1000, true, now),
            RequestTable::Outcome::kQueued);
  for (uint32_t id = 2; id <= 100; ++id) {
    RequestTable::Outcome outcome =
        table.Offer(id, Flow(IPPROTO_UDP, 53), OfProcess(9), 1000, true, now);
    EXPECT_EQ(outcome, id <= limits.udpPackets ? RequestTable::Outcome::kJoined
                                               : RequestTable::Outcome::kDropped)
        << id;
  }
  EXPECT_EQ(table.Held(), 1u);
  EXPECT_EQ(table.HeldOfProcess(1000, 9), 1u);
  EXPECT_EQ(verdicts.dropped.size(), 100 - limits.udpPackets);
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(table.Next(&request));
  EXPECT_FALSE(table.Next(&request));
  ASSERT_TRUE(table.SetVerdict(request.requestHandle, kVerdictAllow, now));
  EXPECT_EQ(verdicts.accepted, (std::vector<uint32_t>{1, 2, 3, 4}));
  // Retransmitted SYNs of a held connection: dropped, the first SYN stays held.
  EXPECT_EQ(table.Offer(200, Flow(IPPROTO_TCP, 80), OfProcess(9), 1000, true, now),
            RequestTable::Outcome::kQueued);
  for (uint32_t id = 201; id < 206; ++id) {
    EXPECT_EQ(table.TryJoin(id, Flow(IPPROTO_TCP, 80)), RequestTable::Outcome::kDropped);
  }
  // A flow with nothing held is left alone.
  EXPECT_EQ(table.TryJoin(300, Flow(IPPROTO_TCP, 81)), RequestTable::Outcome::kQueued);
  EXPECT_EQ(table.Held(), 1u);
  EXPECT_EQ(verdicts.dropped.size(), 100 - limits.udpPackets + 5);
}

TEST(RequestTable, OldestWaitingIsTheFirstRequestNotHandedOut) {
  RecordedVerdicts verdicts;
  RequestTable table(&verdicts, 30s);
  auto now = RequestTable::Clock::now();
  EXPECT_EQ(table.OldestWaiting(), RequestTable::Clock::time_point::max());
  table.Offer(1, Flow(IPPROTO_TCP, 1), OfProcess(5), 1000, true, now);
  table.Offer(2, Flow(IPPROTO_TCP, 2), OfProcess(5), 1000, true, now + 1s);
  EXPECT_EQ(table.OldestWaiting(), now);
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(table.Next(&request));
  EXPECT_EQ(table.OldestWaiting(), now + 1s);  // handed out: no longer waiting
  // A request answered before it was handed out (a guessed handle) no longer waits either.
  ASSERT_TRUE(table.SetVerdict(request.requestHandle + 1, kVerdictAllow, now));
  EXPECT_EQ(table.OldestWaiting(), RequestTable::Clock::time_point::max());
}

TEST(LogThrottle, FirstLineInFullThenOneCountPerInterval) {
  LogThrottle throttle(10s);
  auto t = LogThrottle::Clock::now();
  EXPECT_EQ(throttle.NextDue(), LogThrottle::Clock::time_point::max());
  EXPECT_TRUE(throttle.Take(t));
  int written = 1;
  uint64_t summed = 0;
  // 300,000 occurrences over 30 s: three summaries, nothing lost from the count.
  for (int i = 1; i < 300000; ++i) {
    auto now = t + std::chrono::microseconds(i * 100);
    if (uint64_t more = throttle.Due(now)) {
      summed += more;
      ++written;
    }
    if (throttle.Take(now)) ++written;
  }
  summed += throttle.Due(t + 40s);
  ++written;
  EXPECT_LE(written, 5);
  EXPECT_EQ(summed, 299999u);
  // A quiet interval ends the run: the next occurrence is written in full again.
  EXPECT_EQ(throttle.Due(t + 60s), 0u);
  EXPECT_TRUE(throttle.Take(t + 61s));
  EXPECT_FALSE(throttle.Take(t + 62s));
  EXPECT_EQ(throttle.NextDue(), t + 71s);
  EXPECT_EQ(throttle.Due(t + 70s), 0u);
  EXPECT_EQ(throttle.Due(t + 71s), 1u);
}

// A datagram socket standing in for systemd's notify socket, at an abstract name.
struct NotifySocket {
  NotifySocket() {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    name = "@qxfw-notify-test-" + std::to_string(getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data() + 1, name.size() - 1);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  ~NotifySocket() { close(fd); }
  std::string Next() {
    char buffer[256];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  int fd;
  std::string name;
  bool bound;
};

TEST(SystemdNotifier, SpeaksOnlyWhenAskedAndPingsAtHalfTheWatchdogInterval) {
  unsetenv("NOTIFY_SOCKET");
  {
    SystemdNotifier none;
    EXPECT_FALSE(none.Active());
    EXPECT_FALSE(none.Send("READY=1"));
    EXPECT_EQ(none.NextPing(), SystemdNotifier::Clock::time_point::max());
  }
  NotifySocket systemd;
  ASSERT_TRUE(systemd.bound);
  setenv("NOTIFY_SOCKET", systemd.name.c_str(), 1);
  setenv("WATCHDOG_USEC", "2000000", 1);
  setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
  SystemdNotifier notifier;
  // Read once and taken out, so the programs the daemon starts do not speak for it.
  EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
  EXPECT_EQ(std::getenv("WATCHDOG_USEC"), nullptr);
  ASSERT_TRUE(notifier.Active());
  EXPECT_EQ(notifier.WatchdogInterval(), 2s);
  EXPECT_TRUE(notifier.Send("READY=1"));
  EXPECT_EQ(systemd.Next(), "READY=1");
  auto t = SystemdNotifier::Clock::now();
  notifier.Tick(t);
  EXPECT_EQ(systemd.Next(), "WATCHDOG=1");
  notifier.Tick(t + 900ms);
  EXPECT_EQ(systemd.Next(), "");
  EXPECT_EQ(notifier.NextPing(), t + 1s);
  notifier.Tick(t + 1s);
  EXPECT_EQ(systemd.Next(), "WATCHDOG=1");

  // A watchdog meant for another process is not this one's to ping.
  setenv("NOTIFY_SOCKET", systemd.name.c_str(), 1);
  setenv("WATCHDOG_USEC", "2000000", 1);
  setenv("WATCHDOG_PID", "1", 1);
  SystemdNotifier other;
  EXPECT_TRUE(other.Active());
  EXPECT_EQ(other.WatchdogInterval().count(), 0);
  other.Tick(t);
  EXPECT_EQ(systemd.Next(), "");
  unsetenv("WATCHDOG_PID");
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
                   "--user", "1000", "--hold-timeout", "5", "--spin-us", "0", "--aligned-records",
                   "--client-timeout", "3"},
                  &options),
            0);
  EXPECT_TRUE(options.foreground);
  EXPECT_EQ(options.netns, "ns1");
  EXPECT_EQ(options.queue, 7);
  EXPECT_EQ(options.runtimeDir, "/tmp/x");
  EXPECT_EQ(options.user, 1000u);
  EXPECT_EQ(options.holdTimeoutSeconds, 5);
  EXPECT_EQ(options.clientTimeoutSeconds, 3);
  EXPECT_EQ(options.spinMicroseconds, 0);
  EXPECT_TRUE(options.alignedRecords);
  for (std::vector<const char*> bad :
       std::vector<std::vector<const char*>>{{"--queue", "70000"},
                                             {"--queue"},
                                             {"--hold-timeout", "0"},
                                             {"--client-timeout", "0"},
                                             {"--client-timeout", "3601"},
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
  // --help says that one daemon runs per runtime folder and how several run side by side.
  DaemonOptions helped;
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"--help"}, &helped), 1);
  std::string usage = testing::internal::GetCapturedStdout();
  for (const char* text : {"usage: qltdifw", "--runtime-dir DIR", "--netns NAME", "--queue N",
                           "One daemon runs per runtime folder", "side by side"}) {
    EXPECT_NE(usage.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace qltdifw
