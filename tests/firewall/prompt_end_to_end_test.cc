// The whole road of an unknown program's first connection, with the real parts: the filter
// daemon holds the connection of a client namespace, the companion starts the firewall program
// on an X server of the test's own, the program puts the connection to the user, and the test
// presses Allow with the mouse, through the X server. The answer lets the connection through
// and becomes a rule; the next connection passes without a prompt; once the companion is gone
// the program ends by itself and the daemon lets traffic pass again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "firewall/filter_test_fixture.h"
#include "platform/file.h"

namespace qxfw::firewall {
namespace {

using namespace filter_testing;

// A command's standard output (blank-separated words), or "" when it failed.
std::string Output(const std::string& command) {
  std::string text;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return text;
  char chunk[512];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) text.append(chunk, n);
  int status = pclose(pipe);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

bool Have(const char* program) {
  return RunQuiet(std::string("command -v ") + program) == 0;
}

class PromptEndToEndTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* tool : {"Xvfb", "xdotool", "xdpyinfo"}) {
      if (!Have(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    // The server picks a free display and writes its number to its output.
    xvfb_ =
        std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0",
                                                         "1024x768x24", "-nolisten", "tcp"},
                                std::vector<std::string>{}, false);
    std::string number = xvfb_->Line(10000);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_ = ":" + number;
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
      up = RunQuiet("DISPLAY=" + display_ + " xdpyinfo") == 0;
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(up) << "Xvfb did not start on " << display_;
    system_ = std::make_unique<test_support::TempDir>();
    log_ = system_->path() + "/program.log";
  }
  void TearDown() override {
    companion_.reset();  // the program ends with its display at the latest
    xvfb_.reset();
    FilterTest::TearDown();
  }

  void StartProgram() {
    std::string command = "exec '" + std::string(COMPANION_PATH) + "' --program '" +
                          std::string(QXFW_PATH) + "' >'" + log_ + "' 2>&1";
    companion_ = std::make_unique<Child>(
        std::vector<std::string>{"sh", "-c", command},
        std::vector<std::string>{
            "DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb", "QTWEBENGINE_DISABLE_SANDBOX=1",
            "LANG=C.UTF-8", "LC_ALL=C.UTF-8", "QXFW_APPDATA=" + appdata_->path(),
            "QXFW_RUNTIME_DIR=" + runtime_->path(), "QXFW_SYSTEM_DIR=" + system_->path()});
  }
  // The X window ids whose title is name.
  std::vector<std::string> Windows(const std::string& name) {
    std::istringstream ids(
        Output("DISPLAY=" + display_ + " xdotool search --onlyvisible --name '^" + name + "$'"));
    std::vector<std::string> found;
    for (std::string id; ids >> id;) found.push_back(id);
    return found;
  }
  std::string WaitForWindow(const std::string& name, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      std::vector<std::string> found = Windows(name);
      if (!found.empty()) return found.front();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < end);
    return "";
  }
  // Presses and releases the left button at (x, y) of window id.
  void ClickAt(const std::string& id, int x, int y) {
    std::string geometry =
        Output("DISPLAY=" + display_ + " xdotool getwindowgeometry --shell " + id);
    int left = -1, top = -1;
    std::istringstream lines(geometry);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("X=", 0) == 0) left = std::atoi(line.c_str() + 2);
      if (line.rfind("Y=", 0) == 0) top = std::atoi(line.c_str() + 2);
    }
    ASSERT_GE(left, 0) << geometry;
    ASSERT_EQ(
        RunQuiet("DISPLAY=" + display_ + " xdotool mousemove --sync " + std::to_string(left + x) +
                 " " + std::to_string(top + y) + " sleep 0.2 mousedown 1 sleep 0.1 mouseup 1"),
        0);
  }
  std::string ProgramLog() {
    std::string text;
    platform::ReadWholeFile(log_, &text, 1 << 20);
    return text;
  }

  std::string display_;
  std::string log_;
  std::unique_ptr<test_support::TempDir> system_;
  std::unique_ptr<Child> xvfb_, companion_;
};

TEST_F(PromptEndToEndTest, AllowPressedInThePromptLetsTheConnectionThroughAndBecomesTheRule) {
  StartProgram();
  ASSERT_NE(WaitForWindow("Talvoran Firewall", 60000), "") << ProgramLog();

  // The first connection of the probe is held until the user answers.
  Child first(InNs(kClientNs, Probe("tcp", kServer, 80, 30000)), {}, true);
  std::string prompt = WaitForWindow("Network access sensing", 15000);
  ASSERT_NE(prompt, "") << ProgramLog();
  ClickAt(prompt, 270 + 31, 279 + 13);  // the middle of Allow
  first.WaitFor("\x01", 15000);
  EXPECT_EQ(first.Wait(), 0) << first.Seen();
  for (int i = 0; i < 40 && !Windows("Network access sensing").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Windows("Network access sensing").empty());

  // The rule decides the next connection: no prompt, and it completes at once.
  auto [status, out] = Client(Probe("tcp", kServer, 80, 5000));
  EXPECT_EQ(status, 0) << out;
  EXPECT_LT(Millis(out), 1000) << out;
  EXPECT_TRUE(Windows("Network access sensing").empty());

  // Without the companion the program ends by itself within the watchdog's periods.
  auto stop = Clock::now();
  int companionStatus = companion_->Terminate();
  companion_.reset();
  EXPECT_EQ(companionStatus, 0) << ProgramLog();
  EXPECT_LT(Clock::now() - stop, std::chrono::seconds(35));
  EXPECT_TRUE(Windows("Talvoran Firewall").empty());

  // The answer is in the rule data file.
  {
    test_support::ScopedEnv env("QXFW_APPDATA", appdata_->path());
    store::CDBManager db(platform::FirewallDataFolder());
    ASSERT_TRUE(db.IsRuleFileOpen());
    store::tagFIREWALL_PROGRAM rule{};
    bool found = false;
    while (!found && db.Select(store::CDBManager::kSelectProgram) && db.GetProgram(&rule)) {
      found = std::strcmp(rule.path, NET_PROBE_PATH) == 0;
    }
    ASSERT_TRUE(found) << "no rule for " << NET_PROBE_PATH;
    EXPECT_EQ(rule.action, store::kActionAllow);
  }
  // With no program attached the daemon lets connections pass.
  auto [afterStatus, afterOut] = Client(Probe("tcp", kServer, 80, 5000));
  EXPECT_EQ(afterStatus, 0) << afterOut;
}

}  // namespace
}  // namespace qxfw::firewall
