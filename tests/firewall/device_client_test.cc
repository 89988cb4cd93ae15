// The client end of the device against a stand-in of the daemon's socket: posted calls and
// their answers, which the next call reads past in order.
#include "firewall/device_client.h"

#include <gtest/gtest.h>

#include "tests/firewall/fake_device.h"

namespace qxfw::firewall {
namespace {

using testing::FakeDevice;

TEST(DeviceClientTest, AnswersOfPostedCallsAreReadPastInOrder) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  CNETWORK_REQUEST queued{};
  queued.requestHandle = 77;
  queued.processId = 4242;
  device.QueueRequest(queued);
  // More posts than may stay unread: the client reads the oldest answers on the way.
  const uint32_t posts = DeviceClient::kMaxUnreadAnswers * 2 + 10;
  for (uint32_t i = 0; i < posts; ++i) {
    tagVERDICT verdict{i + 1, kVerdictAllow};
    ASSERT_TRUE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  }
  CNETWORK_REQUEST request{};
  uint32_t got = 0;
  ASSERT_EQ(client.Call(IOCTL_GET_NETWORK_REQUEST, &request, sizeof(request), &request,
                        sizeof(request), &got),
            kStatusSuccess);
  EXPECT_EQ(got, sizeof(request));
  EXPECT_EQ(request.requestHandle, 77u);
  EXPECT_EQ(request.processId, 4242u);
  // The next call gets its own answer, not one left over from the posts.
  EXPECT_EQ(client.Call(IOCTL_GET_NETWORK_REQUEST, &request, sizeof(request), &request,
                        sizeof(request), &got),
            ERROR_NO_DATA);
  EXPECT_EQ(got, 0u);
  auto verdicts = device.VerdictsWhen(posts);
  ASSERT_EQ(verdicts.size(), posts);
  for (uint32_t i = 0; i < posts; ++i) EXPECT_EQ(verdicts[i].requestHandle, i + 1);
}

TEST(DeviceClientTest, ABrokenChannelFailsCallsAndPostsAndClosesTheDevice) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  tagVERDICT verdict{1, kVerdictBlock};
  ASSERT_TRUE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  device.Disconnect();
  uint8_t buffer[4] = {};
  uint32_t got = 7;
  EXPECT_EQ(client.Call(IOCTL_RELEASE, buffer, 4, buffer, 4, &got), ERROR_GEN_FAILURE);
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(client.IsOpen());
  EXPECT_FALSE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  // Calls the protocol cannot carry are refused before anything is sent.
  DeviceClient other;
  FakeDevice second;
  ASSERT_EQ(other.Open(second.path()), kStatusSuccess);
  std::vector<uint8_t> big(kMaxCallInput + 1);
  EXPECT_FALSE(other.Post(IOCTL_SET_VERDICT, big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_EQ(other.Call(IOCTL_SET_VERDICT, big.data(), static_cast<uint32_t>(big.size()), nullptr, 0,
                       &got),
            ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(other.IsOpen());
  EXPECT_EQ(second.Calls().size(), 0u);
}

}  // namespace
}  // namespace qxfw::firewall
