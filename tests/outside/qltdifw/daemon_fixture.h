// The fixture of the daemon's tests: a namespace pair, a server in B, and the test's daemon.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon_harness.h"

namespace qltdifw::test {

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces, iptables)";
    pair_ = std::make_unique<NetnsPair>();
    ASSERT_TRUE(pair_->Ok()) << "network namespaces cannot be made";
    server_ = std::make_unique<Server>(pair_->b);
  }
  void StartDaemon(std::vector<std::string> args = {}) {
    daemon_ = std::make_unique<Daemon>(*pair_, std::move(args));
    ASSERT_TRUE(daemon_->Ok()) << "daemon did not start";
  }
  // Connects from namespace A in a child; returns the child's exit status (errno, 0 success,
  // 110 timeout). *pid gets the child's pid.
  int ConnectFromA(int timeoutMs, double* elapsed = nullptr, pid_t* pid = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t child = ForkIn(pair_->a,
                         [&] {
                           double ms = 0;
                           int rc = ConnectTcp(NetnsPair::kAddressB, Server::kPort, timeoutMs, &ms);
                           (void)!write(fds[1], &ms, sizeof(ms));
                           return rc;
                         },
                         {fds[1]});
    if (pid != nullptr) *pid = child;
    int status = WaitChild(child);
    double ms = 0;
    (void)!read(fds[0], &ms, sizeof(ms));
    close(fds[0]);
    close(fds[1]);
    if (elapsed != nullptr) *elapsed = ms;
    return status;
  }
  bool ChainPresent() {
    return Shell("ip netns exec " + pair_->a + " iptables -w -S qltdifw-" +
                 std::to_string(daemon_->queue));
  }

  std::unique_ptr<NetnsPair> pair_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<Daemon> daemon_;
};

}  // namespace qltdifw::test
