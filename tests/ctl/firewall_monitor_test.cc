// qxfwctl monitor against a stand-in of the daemon's device: one line per request, undecided
// requests answered as told, a clean end on SIGTERM that releases the device.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/folders.h"
#include "store/db_manager.h"
#include "test_support/child_process.h"
#include "tests/firewall/fake_device.h"

extern char** environ;

namespace qxfw::ctl {
namespace {

using firewall::CNETWORK_REQUEST;

CNETWORK_REQUEST Request(uint32_t handle, uint32_t pid, uint16_t port) {
  CNETWORK_REQUEST r{};
  r.requestHandle = handle;
  r.protocol = firewall::kProtocolTcp;
  r.requestType = firewall::kRequestTcpConnect;
  r.remoteAddress = htonl(0xC0000201);
  r.remotePort = htons(port);
  r.localAddress = htonl(0x7F000001);
  r.localPort = htons(40001);
  r.processId = pid;
  return r;
}

// qxfwctl monitor over the fake device's folder and a private data folder.
class MonitorProcess : public test_support::ChildProcess {
 public:
  MonitorProcess(const std::string& appdata, const std::string& runtime,
                 std::vector<std::string> args)
      : ChildProcess(WithCommand(std::move(args)),
                     {"QXFW_APPDATA=" + appdata, "QXFW_RUNTIME_DIR=" + runtime}) {}

 private:
  static std::vector<std::string> WithCommand(std::vector<std::string> args) {
    args.insert(args.begin(), {QXFWCTL_PATH, "monitor"});
    return args;
  }
};

class FirewallMonitorTest : public ::testing::Test {
 protected:
  void AddRule(const char* path, int16_t action) {
    test_support::ScopedEnv env("QXFW_APPDATA", appdata_.path());
    store::CDBManager db(platform::FirewallDataFolder());
    store::tagFIREWALL_PROGRAM p{};
    p.action = action;
    std::strcpy(p.path, path);
    ASSERT_NE(db.AddProgram(p, nullptr), 0);
  }
  std::string RuntimeDir() const { return device_.path().substr(0, device_.path().rfind('/')); }
  test_support::TempDir appdata_;
  firewall::testing::FakeDevice device_;
};

TEST_F(FirewallMonitorTest, PrintsEachRequestAndAnswersUndecidedAsTold) {
  AddRule("n/a", store::kActionBlock);  // requests of processes that do not exist
  device_.QueueRequest(Request(1, 999999, 25));
  MonitorProcess monitor(appdata_.path(), RuntimeDir(), {"--undecided", "allow"});
  std::string line = monitor.Line();
  EXPECT_NE(line.find("pid 999999 n/a TCP connect 127.0.0.1:40001 -> 192.0.2.1:25 block "
                      "(program rule n/a)"),
            std::string::npos)
      << line;
  // The monitor's own parent (this test) has no rule: the level decides, then the answer.
  device_.QueueRequest(Request(2, static_cast<uint32_t>(getpid()), 5000));
  line = monitor.Line();
  EXPECT_NE(line.find(" allow (level 3 unsigned)"), std::string::npos) << line;
  EXPECT_EQ(monitor.Terminate(), 0);
  auto verdicts = device_.Verdicts();
  ASSERT_EQ(verdicts.size(), 2u);
  EXPECT_EQ(verdicts[0].verdict, firewall::kVerdictBlock);
  EXPECT_EQ(verdicts[1].requestHandle, 2u);
  EXPECT_EQ(verdicts[1].verdict, firewall::kVerdictAllow);
  EXPECT_EQ(device_.CallsOf(firewall::IOCTL_RELEASE), 1u);
}

TEST_F(FirewallMonitorTest, HeldRequestsOfOneProcessJoinAndJsonIsOneObjectPerLine) {
  uint32_t self = static_cast<uint32_t>(getpid());
  device_.QueueRequest(Request(5, self, 6000));
  device_.QueueRequest(Request(6, self, 6001));
  MonitorProcess monitor(appdata_.path(), RuntimeDir(), {"--json"});
  std::string first = monitor.Line();
  std::string second = monitor.Line();
  EXPECT_EQ(first.front(), '{');
  EXPECT_NE(first.find("\"verdict\":\"pending\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"remotePort\":6000"), std::string::npos) << first;
  EXPECT_NE(second.find("\"verdict\":\"pending (joins 1)\""), std::string::npos) << second;
  EXPECT_EQ(monitor.Terminate(), 0);
  EXPECT_TRUE(device_.Verdicts().empty());
}

TEST_F(FirewallMonitorTest, EndsWithAnErrorWhenTheDeviceGoesAway) {
  MonitorProcess monitor(appdata_.path(), RuntimeDir(), {});
  for (int i = 0; i < 200 && device_.CallsOf(firewall::IOCTL_GET_NETWORK_REQUEST) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  device_.Disconnect();
  EXPECT_EQ(monitor.Wait(), 1);
}

TEST(FirewallMonitorArgumentsTest, BadAnswerAndMissingDeviceAreRefused) {
  test_support::TempDir dir;
  std::string base = std::string("QXFW_APPDATA='") + dir.path() + "' QXFW_RUNTIME_DIR='" +
                     dir.path() + "' " QXFWCTL_PATH " monitor ";
  EXPECT_EQ(WEXITSTATUS(system((base + "--undecided maybe 2>/dev/null").c_str())), 2);
  // No daemon is a part not running, named with the command that starts it.
  EXPECT_EQ(WEXITSTATUS(system((base + "2>/dev/null").c_str())), 2);
}

}  // namespace
}  // namespace qxfw::ctl
