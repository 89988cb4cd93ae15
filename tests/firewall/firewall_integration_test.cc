// Real connections decided by the rules: the filter daemon holds the new connections of a
// client network namespace, qxfwctl monitor decides them, and the test's own client (and curl)
// connect to a server in a second namespace joined by a veth pair.
//
// Every test makes its own two namespaces (names carry the test process's pid) and removes
// them in its destructor, also when an assertion fails; the daemon's iptables rules live
// inside the client namespace and go with it. Needs root; skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/folders.h"
#include "store/db_manager.h"
#include "test_support/child_process.h"
#include "test_support/temp_dir.h"

extern char** environ;

namespace qxfw::firewall {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kTag = std::to_string(getpid());
const std::string kClientNs = "qxfwc" + kTag;
const std::string kServerNs = "qxfws" + kTag;
constexpr char kServer[] = "10.77.0.2";
constexpr char kOtherServer[] = "10.77.1.2";

// The daemon under test: the one built with this tree, or $QXFW_TEST_QLTDIFW.
std::string DaemonPath() {
  const char* path = std::getenv("QXFW_TEST_QLTDIFW");
  return path != nullptr ? path : QLTDIFW_PATH;
}

int RunQuiet(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Child = test_support::ChildProcess;

std::vector<std::string> InNs(const std::string& ns, std::vector<std::string> argv) {
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

TEST_F(FilterTest, ProgramRulesAllowAndBlockRealConnections) {
  std::string curl = std::filesystem::canonical("/usr/bin/curl").string();
  AddProgram(NET_PROBE_PATH, store::kActionAllow);
  AddProgram(curl, store::kActionBlock);
  StartMonitor("block");
  auto [status, out] = Client(Probe("tcp", kServer, 80));
  EXPECT_EQ(status, 0) << out;
  std::string line = monitor_->WaitFor("program rule");
  EXPECT_NE(line.find(std::string(NET_PROBE_PATH) + " TCP connect"), std::string::npos) << line;
  EXPECT_NE(line.find("-> 10.77.0.2:80 allow"), std::string::npos) << line;

  auto start = Clock::now();
  auto [curlStatus, curlOut] = Client({"curl", "-s", "-m", "5", "http://10.77.0.2/"});
  EXPECT_EQ(curlStatus, 7) << curlOut;  // could not connect
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  line = monitor_->WaitFor(curl);
  EXPECT_NE(line.find(" block (program rule " + curl + ")"), std::string::npos) << line;
}

TEST_F(FilterTest, PolicyTableAllowsPort80AndBlocks25) {
  store::tagPOLICY_TABLE table{};
  table.count = 2;
  table.entries[0] = {1, {}, 0, 0, 80, 80, store::kProtocolTcp, {}};
  table.entries[1] = {0, {}, 0, 0, 25, 25, store::kProtocolTcp, {}};
  AddProgram(NET_PROBE_PATH, store::kActionPolicy, &table);
  StartMonitor("allow");
  EXPECT_EQ(Client(Probe("tcp", kServer, 80)).first, 0);
  auto [status, out] = Client(Probe("tcp", kServer, 25));
  EXPECT_EQ(status, 1) << out;  // refused
  EXPECT_LT(Millis(out), 1000) << out;
  EXPECT_NE(monitor_->WaitFor(":25 block (policy entry 1"), "") << monitor_->Seen();
}

TEST_F(FilterTest, IpPortRuleBlocksARangeForEveryProgram) {
  {
    test_support::ScopedEnv env("QXFW_APPDATA", appdata_->path());
    store::CDBManager db(platform::FirewallDataFolder());
    store::tagFIREWALL_PORTIP rule{};
    rule.action = store::kActionBlock;
    rule.beginIp = 0x0A4D0100;  // 10.77.1.0
    rule.endIp = 0x0A4D01FF;
    rule.protocol = store::kProtocolAll;
    rule.portType = store::kPortTypeAddressOnly;
    ASSERT_NE(db.AddPortIp(rule), 0);
    ASSERT_NE(db.SetSecurityLevel(1), 0);
  }
  AddProgram(NET_PROBE_PATH, store::kActionAllow);
  StartMonitor("allow");
  EXPECT_EQ(Client(Probe("tcp", kOtherServer, 80)).first, 1);
  EXPECT_EQ(Client({"curl", "-s", "-m", "5", "http://10.77.1.2/"}).first, 7);
  // Elsewhere the level (Off) allows curl, which has no rule.
  EXPECT_EQ(Client({"curl", "-s", "-m", "5", "http://10.77.0.2/"}).first, 0);
  EXPECT_NE(monitor_->WaitFor("allow (level 1"), "") << monitor_->Seen();
}

TEST_F(FilterTest, HighLevelHoldsUndecidedAndASecondConnectionJoins) {
  SetLevel(4);
  StartMonitor("hold");
  auto [status, out] = Client(Probe("tcp", kServer, 80, 700, 2));
  EXPECT_EQ(status, 2) << out;  // both attempts held until the client gave up
  EXPECT_NE(monitor_->WaitFor(" pending (level 4"), "") << monitor_->Seen();
  EXPECT_NE(monitor_->WaitFor(" pending (joins 1) (level 4"), "") << monitor_->Seen();
}

TEST_F(FilterTest, UdpIsDecidedLikeTcp) {
  AddProgram(NET_PROBE_PATH, store::kActionBlock);
  StartMonitor("allow");
  auto [status, out] = Client(Probe("udp", kServer, 5353, 2000));
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(monitor_->WaitFor("UDP send"), "") << monitor_->Seen();
}

TEST_F(FilterTest, CopyOfTheClientIsDecidedByItsOwnRule) {
  std::string copy = appdata_->path() + "/probe-copy";
  std::filesystem::copy_file(NET_PROBE_PATH, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  AddProgram(NET_PROBE_PATH, store::kActionAllow);
  AddProgram(copy, store::kActionBlock);
  StartMonitor("allow");
  EXPECT_EQ(Client(Probe("tcp", kServer, 80)).first, 0);
  std::vector<std::string> argv = Probe("tcp", kServer, 80);
  argv[0] = copy;
  EXPECT_EQ(Client(argv).first, 1);
  EXPECT_NE(monitor_->WaitFor(copy + " TCP connect"), "") << monitor_->Seen();
}

TEST_F(FilterTest, FakeBoundOverAPackagedProgramIsNeitherMatchedNorSigned) {
  std::string curl = std::filesystem::canonical("/usr/bin/curl").string();
  AddProgram(curl, store::kActionAllow);
  SetLevel(3);
  StartMonitor("block");
  // In its own mount namespace the probe is mounted over curl's path and run as curl.
  std::string script = "mount --bind " + std::string(NET_PROBE_PATH) + " " + curl + " && exec " +
                       curl + " tcp 10.77.0.2 80 3000";
  auto [status, out] = Client({"unshare", "-m", "--propagation", "private", "sh", "-c", script});
  EXPECT_EQ(status, 1) << out;
  std::string line = monitor_->WaitFor(" TCP connect");
  // Known by its name only, so no rule of a full path matches and the signature is not asked.
  EXPECT_NE(line.find(" curl TCP connect"), std::string::npos) << line;
  EXPECT_NE(line.find(" block (level 3)"), std::string::npos) << line;
  // The real curl is still allowed by its rule.
  EXPECT_EQ(Client({"curl", "-s", "-m", "5", "http://10.77.0.2/"}).first, 0);
}

TEST_F(FilterTest, EveryConnectionIsAttributedToItsProcess) {
  AddProgram(NET_PROBE_PATH, store::kActionAllow);
  StartMonitor("block");
  const std::string mark = std::string(" ") + NET_PROBE_PATH + " TCP";
  // The monitor's lines are read while the client runs, so its output never fills the pipe.
  auto run = [&](std::vector<std::string> argv, size_t lines) {
    Child client(InNs(kClientNs, std::move(argv)), {}, true);
    for (size_t i = 0; i < lines; ++i) {
      if (monitor_->WaitFor(mark, 5000).empty()) break;
    }
    client.WaitFor("\x01", 5000);
    EXPECT_EQ(client.Wait(), 0) << client.Seen().substr(0, 300);
    return client.Seen();
  };
  // 1,000 connections of one process.
  std::string out = run(Probe("tcp", kServer, 80, 3000, 1000), 1000);
  std::string pid = out.substr(0, out.find('\n'));
  std::vector<std::string> pids = PidsOfLinesFor(NET_PROBE_PATH);
  ASSERT_EQ(pids.size(), 1000u);
  for (const auto& p : pids) ASSERT_EQ(p, pid);

  // 200 short-lived processes, one after another: each line names the process that connected.
  std::string loop = "for i in $(seq 200); do " + std::string(NET_PROBE_PATH) +
                     " tcp 10.77.0.2 80 3000 1 | head -n 1; done";
  std::string loopOut = run({"sh", "-c", loop}, 200);
  std::vector<std::string> started;
  for (size_t at = 0; (at = loopOut.find("pid ", at)) != std::string::npos; ++at) {
    started.push_back(loopOut.substr(at, loopOut.find('\n', at) - at));
  }
  ASSERT_EQ(started.size(), 200u);
  pids = PidsOfLinesFor(NET_PROBE_PATH);
  ASSERT_EQ(pids.size(), 1200u);
  std::vector<std::string> attributed(pids.begin() + 1000, pids.end());
  EXPECT_EQ(attributed, started);
}

}  // namespace
}  // namespace qxfw::firewall
