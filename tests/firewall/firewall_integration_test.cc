// Real connections decided by the rules: the filter daemon holds the new connections of a
// client network namespace, qxfwctl monitor decides them, and the test's own client (and curl)
// connect to a server in a second namespace joined by a veth pair.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "firewall/filter_test_fixture.h"

namespace qxfw::firewall {
namespace {

using namespace filter_testing;

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
