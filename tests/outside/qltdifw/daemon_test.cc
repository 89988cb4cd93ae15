// The filter daemon end to end. Each test makes its own pair of network namespaces (A, where
// programs connect and the daemon filters; B, the server), runs its own daemon on a queue and
// runtime folder named after the test process, and answers the device with a program double.
// Nothing outside those namespaces is touched; the namespaces go with the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "daemon_fixture.h"

namespace qltdifw::test {
namespace {

using namespace qxfw::firewall;
using namespace std::chrono_literals;

TEST_F(DaemonTest, AllowCompletesAndBlockIsRefusedAtOnce) {
  StartDaemon();
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  std::atomic<int> verdict{kVerdictAllow};
  program.Start([&](const CNETWORK_REQUEST&) { return verdict.load(); });

  pid_t pid = 0;
  EXPECT_EQ(ConnectFromA(3000, nullptr, &pid), 0);
  auto seen = program.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].processId, static_cast<uint32_t>(pid));
  EXPECT_EQ(seen[0].protocol, kProtocolTcp);
  EXPECT_EQ(seen[0].requestType, kRequestTcpConnect);
  EXPECT_EQ(seen[0].remotePort, htons(Server::kPort));
  in_addr remote;
  inet_pton(AF_INET, NetnsPair::kAddressB, &remote);
  EXPECT_EQ(seen[0].remoteAddress, remote.s_addr);
  EXPECT_NE(seen[0].localPort, 0);

  verdict = kVerdictBlock;
  double elapsed = 0;
  EXPECT_EQ(ConnectFromA(3000, &elapsed), ECONNREFUSED);
  EXPECT_LT(elapsed, 500.0);
  EXPECT_EQ(program.SeenCount(), 2u);
}

TEST_F(DaemonTest, HeldRequestTimesOutAndRetransmissionsJoin) {
  StartDaemon({"--hold-timeout", "2"});
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  // Unanswered: the SYN and its retransmission (after 1 s) are one request until the hold
  // runs out after 2 s; the connect then times out on our side.
  program.Start([](const CNETWORK_REQUEST&) { return -1; });
  double elapsed = 0;
  EXPECT_EQ(ConnectFromA(1800, &elapsed), ETIMEDOUT);
  auto seen = program.Seen();
  ASSERT_EQ(seen.size(), 1u);
  tagDRIVER_INFO info{};
  uint32_t got = 0;
  ASSERT_EQ(program.Client().Call(IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &got),
            kStatusSuccess);
  EXPECT_EQ(info.holdTimeoutSeconds, 2u);
  EXPECT_EQ(info.heldRequests, 1u);
  std::this_thread::sleep_for(700ms);  // past the 2 s hold
  ASSERT_EQ(program.Client().Call(IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &got),
            kStatusSuccess);
  EXPECT_EQ(info.heldRequests, 0u);
  // A verdict that comes too late finds nothing.
  tagVERDICT late{seen[0].requestHandle, kVerdictAllow};
  EXPECT_EQ(program.Client().Call(IOCTL_SET_VERDICT, &late, sizeof(late), nullptr, 0, &got),
            ERROR_NOT_FOUND);
}

TEST_F(DaemonTest, RetransmittedSynsJoinTheHeldRequest) {
  StartDaemon();
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  auto start = std::chrono::steady_clock::now();
  // Answer only after the SYN was sent again (1 s): both packets go with the one verdict.
  program.Start([&](const CNETWORK_REQUEST&) {
    std::this_thread::sleep_until(start + 1500ms);
    return static_cast<int>(kVerdictAllow);
  });
  EXPECT_EQ(ConnectFromA(5000), 0);
  EXPECT_EQ(program.SeenCount(), 1u);
}

TEST_F(DaemonTest, UdpDatagramIsHeldAndDecided) {
  StartDaemon();
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  std::atomic<int> verdict{kVerdictAllow};
  program.Start([&](const CNETWORK_REQUEST&) { return verdict.load(); });
  auto exchange = [&](pid_t* pid) {
    pid_t child = ForkIn(pair_->a, [] {
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(Server::kPort);
      inet_pton(AF_INET, NetnsPair::kAddressB, &to.sin_addr);
      timeval timeout{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
      if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return 90;
      if (send(fd, "ping", 4, 0) != 4) return 91;
      char buffer[8];
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n == 4) return 0;
      return errno == ECONNREFUSED ? 111 : 92;
    });
    *pid = child;
    return WaitChild(child);
  };
  pid_t pid = 0;
  EXPECT_EQ(exchange(&pid), 0);
  auto seen = program.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].protocol, kProtocolUdp);
  EXPECT_EQ(seen[0].requestType, kRequestUdpSend);
  EXPECT_EQ(seen[0].processId, static_cast<uint32_t>(pid));
  verdict = kVerdictBlock;
  EXPECT_EQ(exchange(&pid), 111);  // port unreachable: the program learns at once
}

TEST_F(DaemonTest, StoppedDaemonLeavesNoRulesAndTrafficFlows) {
  StartDaemon();
  EXPECT_TRUE(ChainPresent());
  {
    ProgramDouble program(daemon_->socketPath);
    ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
    program.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictBlock); });
    EXPECT_EQ(ConnectFromA(2000), ECONNREFUSED);
  }
  daemon_->Stop();
  EXPECT_FALSE(ChainPresent());
  EXPECT_FALSE(Shell("ip netns exec " + pair_->a + " iptables -w -S OUTPUT | grep -q qltdifw"));
  EXPECT_EQ(ConnectFromA(2000), 0);
  EXPECT_FALSE(std::filesystem::exists(daemon_->socketPath));
}

TEST_F(DaemonTest, StaleRulesOfAKilledDaemonAreRemovedAtStart) {
  StartDaemon();
  kill(daemon_->pid, SIGKILL);
  WaitChild(daemon_->pid);
  daemon_->pid = -1;
  EXPECT_TRUE(ChainPresent());
  // With bypass, traffic flows while nobody listens on the queue.
  EXPECT_EQ(ConnectFromA(2000), 0);
  StartDaemon();
  EXPECT_EQ(std::system(("ip netns exec " + pair_->a +
                         " iptables -w -S OUTPUT | grep -c qltdifw | grep -qx 1")
                            .c_str()),
            0);
}

TEST_F(DaemonTest, NoClientPassesAndAVanishingClientReleasesHeldTraffic) {
  StartDaemon();
  EXPECT_EQ(ConnectFromA(2000), 0);  // no client attached
  auto program = std::make_unique<ProgramDouble>(daemon_->socketPath);
  ASSERT_EQ(program->OpenStatus(), kStatusSuccess);
  program->Start([](const CNETWORK_REQUEST&) { return -1; });
  std::thread killer([&] {
    std::this_thread::sleep_for(500ms);
    program->StopAndClose();
  });
  double elapsed = 0;
  EXPECT_EQ(ConnectFromA(5000, &elapsed), 0);
  killer.join();
  EXPECT_GE(elapsed, 400.0);
}

TEST_F(DaemonTest, SecondClientAndOtherUsersAreRefused) {
  StartDaemon({"--user", "4242"});
  ProgramDouble first(daemon_->socketPath);
  ASSERT_EQ(first.OpenStatus(), kStatusSuccess);
  DeviceClient second;
  EXPECT_EQ(second.Open(daemon_->socketPath), ERROR_SHARING_VIOLATION);
  for (uid_t uid : {65534u, 4242u}) {
    pid_t child = fork();
    if (child == 0) {
      if (setresuid(uid, uid, uid) != 0) _exit(99);
      DeviceClient other;
      _exit(static_cast<int>(other.Open(daemon_->socketPath)));
    }
    // The recorded user is turned away only because the device is held.
    EXPECT_EQ(WaitChild(child), uid == 4242u ? static_cast<int>(ERROR_SHARING_VIOLATION)
                                             : static_cast<int>(ERROR_ACCESS_DENIED));
  }
  first.StopAndClose();
  pid_t child = fork();
  if (child == 0) {
    if (setresuid(4242, 4242, 4242) != 0) _exit(99);
    DeviceClient other;
    // The daemon may not have seen the first client go yet.
    uint32_t status = ERROR_SHARING_VIOLATION;
    for (int i = 0; i < 100 && status == ERROR_SHARING_VIOLATION; ++i) {
      status = other.Open(daemon_->socketPath);
      if (status == ERROR_SHARING_VIOLATION) usleep(10000);
    }
    _exit(static_cast<int>(status));
  }
  EXPECT_EQ(WaitChild(child), 0);
}

}  // namespace
}  // namespace qltdifw::test
