#include "firewall/device_frame.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qxfw::firewall {
namespace {

TEST(DeviceFrame, CallsRoundTripAndArriveInPieces) {
  tagVERDICT verdict{0x01020304, kVerdictAllow};
  std::vector<uint8_t> stream;
  ASSERT_TRUE(EncodeCall(IOCTL_SET_VERDICT, &verdict, sizeof(verdict), 0, &stream));
  ASSERT_TRUE(EncodeCall(IOCTL_GET_NETWORK_REQUEST, nullptr, 0, 33, &stream));
  ASSERT_EQ(stream.size(), 12u + 8u + 12u);
  // Every prefix short of the first frame is incomplete, never malformed.
  DeviceCall call;
  for (size_t cut = 0; cut < 20; ++cut) EXPECT_EQ(DecodeCall(stream.data(), cut, &call), kNeedMore);
  ASSERT_EQ(DecodeCall(stream.data(), stream.size(), &call), 20);
  EXPECT_EQ(call.controlCode, IOCTL_SET_VERDICT);
  ASSERT_EQ(call.input.size(), 8u);
  EXPECT_EQ(std::memcmp(call.input.data(), &verdict, 8), 0);
  ASSERT_EQ(DecodeCall(stream.data() + 20, stream.size() - 20, &call), 12);
  EXPECT_EQ(call.controlCode, IOCTL_GET_NETWORK_REQUEST);
  EXPECT_EQ(call.outputSize, 33u);
  EXPECT_TRUE(call.input.empty());
}

TEST(DeviceFrame, OversizedLengthsAreMalformedAtOnce) {
  // A header claiming more than the limits must not make the reader wait for gigabytes.
  tagDEVICE_CALL_HEADER big{IOCTL_SET_VERDICT, kMaxCallInput + 1, 0};
  DeviceCall call;
  EXPECT_EQ(DecodeCall(reinterpret_cast<uint8_t*>(&big), sizeof(big), &call), kMalformed);
  tagDEVICE_CALL_HEADER wide{IOCTL_SET_VERDICT, 0, 0xFFFFFFFF};
  EXPECT_EQ(DecodeCall(reinterpret_cast<uint8_t*>(&wide), sizeof(wide), &call), kMalformed);
  std::vector<uint8_t> out;
  std::vector<uint8_t> huge(kMaxCallInput + 1);
  EXPECT_FALSE(EncodeCall(1, huge.data(), static_cast<uint32_t>(huge.size()), 0, &out));
  EXPECT_FALSE(EncodeCall(1, nullptr, 4, 0, &out));
  EXPECT_TRUE(out.empty());
}

TEST(DeviceFrame, RepliesLongerThanAskedAreMalformed) {
  uint8_t bytes[36] = {1, 2, 3};
  std::vector<uint8_t> stream;
  ASSERT_TRUE(EncodeReply(kStatusSuccess, bytes, 36, &stream));
  DeviceReply reply;
  EXPECT_EQ(DecodeReply(stream.data(), stream.size(), 33, &reply), kMalformed);
  ASSERT_EQ(DecodeReply(stream.data(), stream.size(), 36, &reply), 44);
  EXPECT_EQ(reply.output[2], 3);
  stream.clear();
  ASSERT_TRUE(EncodeReply(ERROR_NO_DATA, nullptr, 0, &stream));
  ASSERT_EQ(DecodeReply(stream.data(), stream.size(), 33, &reply), 8);
  EXPECT_EQ(reply.status, ERROR_NO_DATA);
  EXPECT_TRUE(reply.output.empty());
}

TEST(DeviceProtocol, AlignedFormConvertsFieldByField) {
  CNETWORK_REQUEST request{};
  request.requestHandle = 77;
  request.protocol = kProtocolUdp;
  request.requestType = kRequestUdpSend;
  request.remoteAddress = 0x0100007F;
  request.remotePort = 0x3500;
  request.localAddress = 0x0200000A;
  request.localPort = 0x1234;
  request.processId = 4242;
  request.threadId = 9;  // not carried by the aligned form
  CNETWORK_REQUEST_ALIGNED aligned = RequestToAligned(request);
  const auto* raw = reinterpret_cast<const uint8_t*>(&aligned);
  uint32_t remote;
  std::memcpy(&remote, raw + 12, 4);
  EXPECT_EQ(remote, 0x0100007Fu);
  CNETWORK_REQUEST back = AlignedToRequest(aligned);
  request.threadId = 0;
  EXPECT_EQ(std::memcmp(&back, &request, sizeof(request)), 0);
}

}  // namespace
}  // namespace qxfw::firewall
