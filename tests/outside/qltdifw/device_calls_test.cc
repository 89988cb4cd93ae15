// Bad device calls: wrong sizes, unknown codes, broken frames, a client that vanishes in the
// middle of a call, and a flood. None may crash or wedge the daemon.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "daemon_fixture.h"
#include "firewall/device_frame.h"

namespace qltdifw::test {
namespace {

using namespace qxfw::firewall;
using namespace std::chrono_literals;

// A raw connection past the greeting, for frames DeviceClient would never send.
int RawOpen(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  timeval timeout{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  tagDEVICE_REPLY_HEADER greeting{};
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      recv(fd, &greeting, sizeof(greeting), MSG_WAITALL) != sizeof(greeting) ||
      greeting.status != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// RawOpen, waiting for the daemon to notice that the previous client went.
int RawOpenWhenFree(const std::string& path) {
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    fd = RawOpen(path);
    if (fd < 0) std::this_thread::sleep_for(10ms);
  }
  return fd;
}

// Opens the device, waiting for the daemon to notice that the previous client went.
uint32_t OpenWhenFree(DeviceClient* client, const std::string& path) {
  uint32_t status = ERROR_SHARING_VIOLATION;
  for (int i = 0; i < 100 && status == ERROR_SHARING_VIOLATION; ++i) {
    status = client->Open(path);
    if (status == ERROR_SHARING_VIOLATION) std::this_thread::sleep_for(10ms);
  }
  return status;
}

TEST_F(DaemonTest, WrongSizesAndUnknownCodesAreAnsweredNotFatal) {
  StartDaemon();
  DeviceClient client;
  ASSERT_EQ(client.Open(daemon_->socketPath), kStatusSuccess);
  uint8_t buffer[600] = {};
  uint32_t got = 99;
  EXPECT_EQ(client.Call(IOCTL_GET_NETWORK_REQUEST, buffer, 33, buffer, 33, &got), ERROR_NO_DATA);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(client.Call(IOCTL_GET_NETWORK_REQUEST, buffer, 10, buffer, 10, &got), kStatusSuccess);
  EXPECT_EQ(got, 0u);  // too small for a request: nothing, as the fallback expects
  EXPECT_EQ(client.Call(IOCTL_SET_VERDICT, buffer, 7, nullptr, 0, &got), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(client.Call(IOCTL_SET_VERDICT, buffer, 9, nullptr, 0, &got), ERROR_INVALID_PARAMETER);
  tagVERDICT unknown{12345, kVerdictAllow};
  EXPECT_EQ(client.Call(IOCTL_SET_VERDICT, &unknown, 8, nullptr, 0, &got), ERROR_NOT_FOUND);
  EXPECT_EQ(client.Call(IOCTL_GET_PROCESS_NAME, buffer, 3, buffer, 260, &got),
            ERROR_INVALID_PARAMETER);
  uint32_t self = static_cast<uint32_t>(getpid());
  ASSERT_EQ(client.Call(IOCTL_GET_PROCESS_NAME, &self, 4, buffer, 260, &got), kStatusSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "qltdifw_daemon_");  // comm: 15 chars
  EXPECT_EQ(client.Call(0x22E0FC, buffer, 4, buffer, 4, &got), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(client.Call(IOCTL_END_TCP_CONNECTION, buffer, 11, nullptr, 0, &got),
            ERROR_INVALID_PARAMETER);
  tagEND_CONNECTION none{0x0100007F, 0x0100007F, htons(1), htons(2)};
  EXPECT_EQ(client.Call(IOCTL_END_TCP_CONNECTION, &none, sizeof(none), nullptr, 0, &got),
            ERROR_NOT_FOUND);
  EXPECT_EQ(client.Call(IOCTL_GET_DRIVER_INFO, nullptr, 0, buffer, 19, &got),
            ERROR_INSUFFICIENT_BUFFER);
  uint32_t zero = 0;
  EXPECT_EQ(client.Call(IOCTL_RELEASE, &zero, 4, buffer, 4, &got), kStatusSuccess);
  EXPECT_EQ(got, 4u);
  // After release, traffic passes although the client is still attached.
  EXPECT_EQ(ConnectFromA(2000), 0);
}

// Sends one call frame on a raw connection and, when asked, reads one answer.
bool SendCall(int fd, uint32_t code, const void* input, uint32_t inputLength, uint32_t outputSize) {
  std::vector<uint8_t> frame;
  EncodeCall(code, input, inputLength, outputSize, &frame);
  return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}
bool ReadAnswer(int fd, tagDEVICE_REPLY_HEADER* header, void* output, size_t outputSize) {
  if (recv(fd, header, sizeof(*header), MSG_WAITALL) != sizeof(*header)) return false;
  if (header->outputLength > outputSize) return false;
  return header->outputLength == 0 || recv(fd, output, header->outputLength, MSG_WAITALL) ==
                                          static_cast<ssize_t>(header->outputLength);
}

TEST_F(DaemonTest, AFetchAheadWaitsForTheNextRequestAndYieldsToAnyOtherCall) {
  StartDaemon();
  int fd = RawOpen(daemon_->socketPath);
  ASSERT_GE(fd, 0);
  // No request waits: the fetch ahead is kept, not answered.
  ASSERT_TRUE(SendCall(fd, IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, 36));
  pollfd readable{fd, POLLIN, 0};
  EXPECT_EQ(poll(&readable, 1, 300), 0);
  // A connection from A answers it with its request.
  pid_t child =
      ForkIn(pair_->a, [] { return ConnectTcp(NetnsPair::kAddressB, Server::kPort, 3000); });
  ASSERT_EQ(poll(&readable, 1, 3000), 1);
  tagDEVICE_REPLY_HEADER header{};
  CNETWORK_REQUEST request{};
  ASSERT_TRUE(ReadAnswer(fd, &header, &request, sizeof(request)));
  EXPECT_EQ(header.status, kStatusSuccess);
  ASSERT_EQ(header.outputLength, sizeof(request));  // the daemon's form, in the larger buffer
  EXPECT_EQ(request.processId, static_cast<uint32_t>(child));
  EXPECT_NE(request.requestHandle, 0u);
  tagVERDICT allow{request.requestHandle, kVerdictAllow};
  ASSERT_TRUE(SendCall(fd, IOCTL_SET_VERDICT, &allow, sizeof(allow), 0));
  ASSERT_TRUE(ReadAnswer(fd, &header, nullptr, 0));
  EXPECT_EQ(header.status, kStatusSuccess);
  EXPECT_EQ(WaitChild(child), 0);

  // Another call first gets the kept fetch answered with "none waits", then its own answer.
  ASSERT_TRUE(SendCall(fd, IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, 36));
  ASSERT_TRUE(SendCall(fd, IOCTL_GET_DRIVER_INFO, nullptr, 0, sizeof(tagDRIVER_INFO)));
  ASSERT_TRUE(ReadAnswer(fd, &header, nullptr, 0));
  EXPECT_EQ(header.status, ERROR_NO_DATA);
  tagDRIVER_INFO info{};
  ASSERT_TRUE(ReadAnswer(fd, &header, &info, sizeof(info)));
  EXPECT_EQ(header.status, kStatusSuccess);
  EXPECT_EQ(info.heldRequests, 0u);

  // A request that already waits answers a fetch ahead at once; one too small gets 0 bytes.
  child = ForkIn(pair_->a, [] { return ConnectTcp(NetnsPair::kAddressB, Server::kPort, 3000); });
  for (int i = 0; i < 300 && info.heldRequests == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(SendCall(fd, IOCTL_GET_DRIVER_INFO, nullptr, 0, sizeof(info)));
    ASSERT_TRUE(ReadAnswer(fd, &header, &info, sizeof(info)));
  }
  ASSERT_EQ(info.heldRequests, 1u);
  ASSERT_TRUE(SendCall(fd, IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, 20));
  ASSERT_TRUE(ReadAnswer(fd, &header, nullptr, 0));
  EXPECT_EQ(header.status, kStatusSuccess);
  ASSERT_TRUE(SendCall(fd, IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, 33));
  ASSERT_EQ(poll(&readable, 1, 1000), 1);
  ASSERT_TRUE(ReadAnswer(fd, &header, &request, sizeof(request)));
  ASSERT_EQ(header.outputLength, sizeof(request));
  EXPECT_EQ(request.processId, static_cast<uint32_t>(child));
  tagVERDICT block{request.requestHandle, kVerdictBlock};
  ASSERT_TRUE(SendCall(fd, IOCTL_SET_VERDICT, &block, sizeof(block), 0));
  ASSERT_TRUE(ReadAnswer(fd, &header, nullptr, 0));
  EXPECT_EQ(WaitChild(child), ECONNREFUSED);
  close(fd);
}

TEST_F(DaemonTest, BrokenFramesVanishingClientsAndFloodsLeaveTheDaemonServing) {
  StartDaemon();
  // A header claiming too much input: the daemon ends that client.
  int fd = RawOpen(daemon_->socketPath);
  ASSERT_GE(fd, 0);
  tagDEVICE_CALL_HEADER huge{IOCTL_SET_VERDICT, 0x7FFFFFFF, 0};
  ASSERT_EQ(send(fd, &huge, sizeof(huge), MSG_NOSIGNAL), static_cast<ssize_t>(sizeof(huge)));
  char byte;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
  close(fd);

  // Half a header, then gone.
  fd = RawOpenWhenFree(daemon_->socketPath);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, &huge, 6, MSG_NOSIGNAL), 6);
  close(fd);

  // Half a call's input, then gone.
  fd = RawOpenWhenFree(daemon_->socketPath);
  ASSERT_GE(fd, 0);
  tagDEVICE_CALL_HEADER partial{IOCTL_SET_VERDICT, 8, 0};
  ASSERT_EQ(send(fd, &partial, sizeof(partial), MSG_NOSIGNAL), 12);
  ASSERT_EQ(send(fd, "abc", 3, MSG_NOSIGNAL), 3);
  close(fd);

  // A flood of pipelined calls answered in order.
  fd = RawOpenWhenFree(daemon_->socketPath);
  ASSERT_GE(fd, 0);
  constexpr int kCalls = 20000;
  std::vector<uint8_t> frames;
  for (int i = 0; i < kCalls; ++i) EncodeCall(0x22E0F0 + (i % 3) * 4, nullptr, 0, 16, &frames);
  std::thread writer([&] {
    size_t done = 0;
    while (done < frames.size()) {
      ssize_t n = send(fd, frames.data() + done, frames.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  });
  int answered = 0;
  tagDEVICE_REPLY_HEADER reply{};
  while (answered < kCalls && recv(fd, &reply, sizeof(reply), MSG_WAITALL) == sizeof(reply)) {
    if (reply.status != ERROR_INVALID_FUNCTION || reply.outputLength != 0) break;
    ++answered;
  }
  writer.join();
  EXPECT_EQ(answered, kCalls);
  close(fd);

  // Still the daemon it was: a new client gets requests and its verdicts count.
  ProgramDouble answering(daemon_->socketPath);
  uint32_t status = answering.OpenStatus();
  if (status == ERROR_SHARING_VIOLATION) {
    status = OpenWhenFree(&answering.Client(), daemon_->socketPath);
  }
  ASSERT_EQ(status, kStatusSuccess);
  answering.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictBlock); });
  EXPECT_EQ(ConnectFromA(2000), ECONNREFUSED);
  EXPECT_EQ(answering.SeenCount(), 1u);
}

}  // namespace
}  // namespace qltdifw::test

namespace qltdifw::test {
namespace {

// The connection table's end-connection hook: the daemon aborts a TCP connection of namespace
// A for the program, and the program owning the socket sees it aborted.
TEST_F(DaemonTest, EndTcpConnectionAbortsTheSocket) {
  StartDaemon();
  int toTest[2], toChild[2];
  ASSERT_EQ(pipe(toTest), 0);
  ASSERT_EQ(pipe(toChild), 0);
  pid_t child = ForkIn(pair_->a,
                       [&] {
                         int fd = socket(AF_INET, SOCK_STREAM, 0);
                         sockaddr_in to{};
                         to.sin_family = AF_INET;
                         to.sin_port = htons(Server::kKeepOpenPort);
                         inet_pton(AF_INET, NetnsPair::kAddressB, &to.sin_addr);
                         if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0)
                           return 90;
                         sockaddr_in local{};
                         socklen_t length = sizeof(local);
                         getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
                         tagEND_CONNECTION end{local.sin_addr.s_addr, to.sin_addr.s_addr,
                                               local.sin_port, to.sin_port};
                         (void)!write(toTest[1], &end, sizeof(end));
                         // Open both ways until the daemon aborts it.
                         if (send(fd, "x", 1, MSG_NOSIGNAL) != 1) return 93;
                         (void)!write(toTest[1], "s", 1);
                         char go;
                         if (read(toChild[0], &go, 1) != 1) return 91;
                         ssize_t n = send(fd, "y", 1, MSG_NOSIGNAL);
                         return n < 0 && (errno == ECONNABORTED || errno == EPIPE) ? 0 : 92;
                       },
                       {toTest[1], toChild[0]});
  tagEND_CONNECTION end{};
  ASSERT_EQ(read(toTest[0], &end, sizeof(end)), static_cast<ssize_t>(sizeof(end)));
  char sent;
  ASSERT_EQ(read(toTest[0], &sent, 1), 1);
  DeviceClient client;
  ASSERT_EQ(client.Open(daemon_->socketPath), kStatusSuccess);
  uint32_t got = 0;
  uint32_t status = client.Call(IOCTL_END_TCP_CONNECTION, &end, sizeof(end), nullptr, 0, &got);
  (void)!write(toChild[1], "g", 1);
  int result = WaitChild(child);
  for (int fd : {toTest[0], toTest[1], toChild[0], toChild[1]}) close(fd);
  if (status == ERROR_NOT_SUPPORTED) GTEST_SKIP() << "kernel without socket destroy";
  EXPECT_EQ(status, kStatusSuccess);
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace qltdifw::test
