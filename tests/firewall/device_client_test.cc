// The client end of the device against a stand-in of the daemon's socket: posted calls and
// their answers, which the next call reads past in order.
#include "firewall/device_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
  // An answer could never be stored: refused rather than written through a null buffer.
  EXPECT_EQ(other.Call(IOCTL_GET_NETWORK_REQUEST, nullptr, 0, nullptr, 33, &got),
            ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(other.IsOpen());
  EXPECT_EQ(second.Calls().size(), 0u);
}

CNETWORK_REQUEST RequestWith(uint32_t handle) {
  CNETWORK_REQUEST request{};
  request.requestHandle = handle;
  request.protocol = kProtocolTcp;
  request.requestType = kRequestTcpConnect;
  request.processId = 1000 + handle;
  return request;
}

uint32_t Fetch(DeviceClient& client, CNETWORK_REQUEST* request, uint32_t* got) {
  *request = CNETWORK_REQUEST{};
  return client.Call(IOCTL_GET_NETWORK_REQUEST, request, sizeof(*request), request,
                     sizeof(*request), got);
}

TEST(DeviceClientTest, ARequestFetchedAheadIsTakenWithoutAskingTheDeviceAgain) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  CNETWORK_REQUEST first = RequestWith(1);
  device.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &first, sizeof(first));
  device.QueueRequest(RequestWith(2));
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST_ALIGNED)));
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST_ALIGNED)));  // one at a time
  for (int i = 0; i < 200 && device.CallsOf(IOCTL_WAIT_NETWORK_REQUEST) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // its answer is on its way back
  CNETWORK_REQUEST request;
  uint32_t got = 0;
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(got, sizeof(request));
  EXPECT_EQ(request.requestHandle, 1u);
  EXPECT_EQ(device.CallsOf(IOCTL_GET_NETWORK_REQUEST), 0u);
  EXPECT_EQ(device.CallsOf(IOCTL_WAIT_NETWORK_REQUEST), 1u);
  // Nothing is ahead any more: the next fetch asks the device.
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 2u);
  EXPECT_EQ(device.CallsOf(IOCTL_GET_NETWORK_REQUEST), 1u);
  // "None waits" from a fetch ahead is not kept: a later fetch asks the device itself.
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST_ALIGNED)));
  uint8_t info[sizeof(tagDRIVER_INFO)];
  EXPECT_EQ(client.Call(IOCTL_GET_DRIVER_INFO, nullptr, 0, info, sizeof(info), &got),
            kStatusSuccess);
  device.QueueRequest(RequestWith(3));
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 3u);
  EXPECT_EQ(device.CallsOf(IOCTL_GET_NETWORK_REQUEST), 2u);
}

TEST(DeviceClientTest, AFetchAheadAnsweredLateGoesFirstAndTheFetchsOwnRequestWaits) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  CNETWORK_REQUEST first = RequestWith(1);
  device.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &first, sizeof(first), 0, 50);
  device.QueueRequest(RequestWith(2));
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST_ALIGNED)));
  CNETWORK_REQUEST request;
  uint32_t got = 0;
  // The fetch ahead has not been answered: this one goes to the device, and both answers come.
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 1u);
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 2u);
  EXPECT_EQ(device.CallsOf(IOCTL_GET_NETWORK_REQUEST), 1u);
  EXPECT_EQ(Fetch(client, &request, &got), ERROR_NO_DATA);
}

TEST(DeviceClientTest, AnAlignedRequestFetchedAheadWaitsForTheLongerBuffer) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  CNETWORK_REQUEST_ALIGNED aligned = RequestToAligned(RequestWith(5));
  device.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &aligned, sizeof(aligned));
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(aligned)));
  uint8_t info[sizeof(tagDRIVER_INFO)];
  uint32_t got = 0;
  // Any call reads the answers before its own, so the request is ahead now.
  ASSERT_EQ(client.Call(IOCTL_GET_DRIVER_INFO, nullptr, 0, info, sizeof(info), &got), 0u);
  CNETWORK_REQUEST request;
  EXPECT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(got, 0u);  // too small, as the daemon answers: the caller tries 36 bytes
  CNETWORK_REQUEST_ALIGNED longer{};
  ASSERT_EQ(client.Call(IOCTL_GET_NETWORK_REQUEST, &longer, sizeof(longer), &longer, sizeof(longer),
                        &got),
            kStatusSuccess);
  EXPECT_EQ(got, sizeof(longer));
  EXPECT_EQ(AlignedToRequest(longer).requestHandle, 5u);
  EXPECT_EQ(device.CallsOf(IOCTL_GET_NETWORK_REQUEST), 0u);
}

TEST(DeviceClientTest, ADaemonWithoutFetchesAheadIsNotAskedAgain) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  device.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, ERROR_INVALID_FUNCTION);
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST)));
  device.QueueRequest(RequestWith(8));
  CNETWORK_REQUEST request;
  uint32_t got = 0;
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 8u);
  EXPECT_FALSE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST)));
  EXPECT_TRUE(client.IsOpen());
  EXPECT_EQ(Fetch(client, &request, &got), ERROR_NO_DATA);
  EXPECT_EQ(device.CallsOf(IOCTL_WAIT_NETWORK_REQUEST), 1u);
}

TEST(DeviceClientTest, AVerdictCarriesTheNextFetchAheadInTheSameWrite) {
  FakeDevice device;
  DeviceClient client;
  ASSERT_EQ(client.Open(device.path()), kStatusSuccess);
  // A caller that never asked ahead posts its verdicts alone.
  tagVERDICT verdict{9, kVerdictAllow};
  ASSERT_TRUE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  ASSERT_EQ(device.VerdictsWhen(1).size(), 1u);
  EXPECT_EQ(device.CallsOf(IOCTL_WAIT_NETWORK_REQUEST), 0u);

  CNETWORK_REQUEST first = RequestWith(1);
  device.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &first, sizeof(first));
  ASSERT_TRUE(client.PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST)));
  device.AwaitCalls(IOCTL_WAIT_NETWORK_REQUEST, 1);
  CNETWORK_REQUEST request;
  uint32_t got = 0;
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 1u);

  // The verdict for it brings the next fetch ahead, in one write, unasked.
  CNETWORK_REQUEST second = RequestWith(2);
  device.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &second, sizeof(second));
  verdict = {1, kVerdictAllow};
  ASSERT_TRUE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  device.AwaitCalls(IOCTL_WAIT_NETWORK_REQUEST, 2);
  std::vector<DeviceCall> calls = device.Calls();
  ASSERT_GE(calls.size(), 2u);
  size_t last = calls.size() - 1;
  EXPECT_EQ(calls[last - 1].controlCode, IOCTL_SET_VERDICT);
  EXPECT_EQ(calls[last].controlCode, IOCTL_WAIT_NETWORK_REQUEST);
  EXPECT_EQ(calls[last].outputSize, sizeof(CNETWORK_REQUEST));
  EXPECT_EQ(device.ReadOf(last - 1), device.ReadOf(last));
  ASSERT_EQ(Fetch(client, &request, &got), kStatusSuccess);
  EXPECT_EQ(request.requestHandle, 2u);
  EXPECT_EQ(device.CallsOf(IOCTL_GET_NETWORK_REQUEST), 0u);

  // While a fetch ahead is under way, verdicts carry no second one.
  verdict = {2, kVerdictAllow};
  ASSERT_TRUE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  verdict = {3, kVerdictBlock};
  ASSERT_TRUE(client.Post(IOCTL_SET_VERDICT, &verdict, sizeof(verdict)));
  ASSERT_EQ(device.VerdictsWhen(4).size(), 4u);
  EXPECT_EQ(device.CallsOf(IOCTL_WAIT_NETWORK_REQUEST), 3u);
}

}  // namespace
}  // namespace qxfw::firewall
