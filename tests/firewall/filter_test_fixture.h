// The stage of the real-connection tests: a client and a server network namespace joined by a
// veth pair, a probe server in the server namespace, and the filter daemon holding the new
// connections of the client namespace, with its own runtime folder and a data folder for the
// rule store.
//
// Every test makes its own two namespaces (names carry the test process's pid) and removes
// them in its destructor, also when an assertion fails; the daemon's iptables rules live
// inside the client namespace and go with it. Needs root; skipped otherwise.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/folders.h"
#include "store/db_manager.h"
#include "test_support/child_process.h"
#include "test_support/temp_dir.h"

namespace qxfw::firewall::filter_testing {

using Clock = std::chrono::steady_clock;
inline const std::string kTag = std::to_string(getpid());
inline const std::string kClientNs = "qxfwc" + kTag;
inline const std::string kServerNs = "qxfws" + kTag;
inline constexpr char kServer[] = "10.77.0.2";
inline constexpr char kOtherServer[] = "10.77.1.2";

// The daemon under test: the one built with this tree, or $QXFW_TEST_QLTDIFW.
inline std::string DaemonPath() {
  const char* path = std::getenv("QXFW_TEST_QLTDIFW");
  return path != nullptr ? path : QLTDIFW_PATH;
}

inline int RunQuiet(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Child = test_support::ChildProcess;

inline std::vector<std::string> InNs(const std::string& ns, std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"ip", "netns", "exec", ns});
  return argv;
}

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces, iptables)";
    if (DaemonPath().empty()) GTEST_SKIP() << "the filter daemon is not built";
    RemoveStaleNamespaces();
    Teardown();
    const std::string vc = "qxc" + kTag, vs = "qxs" + kTag;
    for (const std::string& c :
         {"ip netns add " + kClientNs, "ip netns add " + kServerNs,
          "ip link add " + vc + " netns " + kClientNs + " type veth peer name " + vs + " netns " +
              kServerNs,
          "ip -n " + kClientNs + " addr add 10.77.0.1/16 dev " + vc,
          "ip -n " + kServerNs + " addr add 10.77.0.2/16 dev " + vs,
          "ip -n " + kServerNs + " addr add 10.77.1.2/16 dev " + vs,
          "ip -n " + kClientNs + " link set " + vc + " up",
          "ip -n " + kServerNs + " link set " + vs + " up",
          "ip -n " + kClientNs + " link set lo up", "ip -n " + kServerNs + " link set lo up"}) {
      ASSERT_EQ(RunQuiet(c), 0) << c;
    }
    made_ = true;
    appdata_ = std::make_unique<test_support::TempDir>();
    runtime_ = std::make_unique<test_support::TempDir>();
    server_ = std::make_unique<Child>(
        InNs(kServerNs, {NET_PROBE_PATH, "serve", "0.0.0.0", "80", "25", "-u", "5353"}));
    ASSERT_NE(server_->WaitFor("serving"), "");
    // The daemon's events exist once per machine: while another test's daemon holds them this
    // one cannot start, so it is tried again for a while.
    std::string socket = runtime_->path() + "/qltdifw.sock";
    auto giveUp = Clock::now() + std::chrono::seconds(60);
    do {
      daemon_ = std::make_unique<Child>(
          std::vector<std::string>{DaemonPath(), "--foreground", "--netns", kClientNs, "--queue",
                                   std::to_string(1000 + getpid() % 30000), "--runtime-dir",
                                   runtime_->path()},
          std::vector<std::string>{}, true);
      for (int i = 0; i < 300 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (std::filesystem::exists(socket)) break;
      daemon_->WaitFor("\x01", 100);
      daemon_.reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (Clock::now() < giveUp);
    ASSERT_TRUE(daemon_ != nullptr) << "the filter daemon did not start";
    ASSERT_TRUE(std::filesystem::exists(socket)) << daemon_->Seen();
  }
  void TearDown() override {
    monitor_.reset();
    daemon_.reset();
    server_.reset();
    if (made_) Teardown();
  }
  // Namespaces of earlier runs of this test whose process was killed before it could remove
  // them: the name carries the pid, so only those of processes that are gone are removed.
  static void RemoveStaleNamespaces() {
    FILE* list = popen("ip netns list 2>/dev/null", "r");
    if (list == nullptr) return;
    char line[256];
    while (std::fgets(line, sizeof(line), list) != nullptr) {
      char kind = 0;
      int pid = 0;
      char rest = 0;
      if (std::sscanf(line, "qxfw%c%d%c", &kind, &pid, &rest) >= 2 &&
          (kind == 'c' || kind == 's') && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
        RunQuiet("ip netns del qxfw" + std::string(1, kind) + std::to_string(pid));
      }
    }
    pclose(list);
  }
  static void Teardown() {
    RunQuiet("ip netns del " + kClientNs);
    RunQuiet("ip netns del " + kServerNs);
  }

  void AddProgram(const std::string& path, int16_t action,
                  const store::tagPOLICY_TABLE* table = nullptr) {
    test_support::ScopedEnv env("QXFW_APPDATA", appdata_->path());
    store::CDBManager db(platform::FirewallDataFolder());
    store::tagFIREWALL_PROGRAM p{};
    p.action = action;
    std::strncpy(p.path, path.c_str(), sizeof(p.path) - 1);
    ASSERT_NE(db.AddProgram(p, table), 0) << path;
  }
  void SetLevel(uint32_t level) {
    test_support::ScopedEnv env("QXFW_APPDATA", appdata_->path());
    store::CDBManager db(platform::FirewallDataFolder());
    ASSERT_NE(db.SetSecurityLevel(level), 0);
  }
  void StartMonitor(const char* undecided) {
    monitor_ = std::make_unique<Child>(
        std::vector<std::string>{QXFWCTL_PATH, "monitor", "--undecided", undecided},
        std::vector<std::string>{"QXFW_APPDATA=" + appdata_->path(),
                                 "QXFW_RUNTIME_DIR=" + runtime_->path()},
        true);
    ASSERT_NE(monitor_->WaitFor("monitoring"), "") << monitor_->Seen();
  }
  // Runs the probe (or another program) in the client namespace; its output and status.
  std::pair<int, std::string> Client(std::vector<std::string> argv) {
    Child child(InNs(kClientNs, std::move(argv)), {}, true);
    child.WaitFor("\x01", 15000);  // reads everything until the end
    int status = child.Wait();
    return {status, child.Seen()};
  }
  static std::vector<std::string> Probe(const char* proto, const char* address, int port,
                                        int timeoutMs = 3000, int count = 1) {
    return {NET_PROBE_PATH,       proto, address, std::to_string(port), std::to_string(timeoutMs),
            std::to_string(count)};
  }
  // The milliseconds of the probe's first attempt.
  static long Millis(const std::string& output) {
    size_t line = output.find('\n');
    size_t space = line == std::string::npos ? line : output.find(' ', line + 1);
    return space == std::string::npos ? -1 : std::atol(output.c_str() + space + 1);
  }
  // Every monitor line seen so far that names path, as "pid N" texts.
  std::vector<std::string> PidsOfLinesFor(const std::string& path) {
    std::vector<std::string> pids;
    std::string seen = monitor_->Seen();
    for (size_t at = seen.find(" pid "); at != std::string::npos; at = seen.find(" pid ", at + 1)) {
      size_t end = seen.find(' ', at + 5);
      if (seen.compare(end + 1, path.size() + 1, path + " ") == 0) {
        pids.push_back(seen.substr(at + 1, end - at - 1));
      }
    }
    return pids;
  }

  bool made_ = false;
  std::unique_ptr<test_support::TempDir> appdata_, runtime_;
  std::unique_ptr<Child> server_, daemon_, monitor_;
};

}  // namespace qxfw::firewall::filter_testing
