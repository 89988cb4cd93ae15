// The real qxfw-companion with a stand-in program (a shell script) instead of qxfw.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support/child_process.h"
#include "test_support/command_output.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qxfw::test_support::ChildProcess;
using qxfw::test_support::RunCommandLine;

class CompanionTest : public ::testing::Test {
 protected:
  CompanionTest() {
    // The stand-in notes that it ran and its pid, then waits to be ended.
    qxfw::test_support::WriteTextFile(Program(),
                                      "#!/bin/sh\necho $$ >'" + Started() + ".tmp'\nmv '" +
                                          Started() + ".tmp' '" + Started() + "'\nexec sleep 60\n",
                                      0755);
  }
  std::string Program() const { return dir_.path() + "/program"; }
  std::string Started() const { return dir_.path() + "/started"; }
  qxfw::test_support::CommandOutput Run(const std::string& words) {
    return RunCommandLine("'" COMPANION_PATH "' " + words + " </dev/null");
  }
  qxfw::test_support::TempDir dir_;
};

TEST_F(CompanionTest, HelpIsAnsweredWithoutStartingTheProgram) {
  for (const std::string& words : std::vector<std::string>{
           "--help", "-h", "--program '" + Program() + "' --help", "/e:on -h /l:4"}) {
    qxfw::test_support::CommandOutput out = Run(words + " 2>/dev/null");
    EXPECT_EQ(out.status, 0) << words;
    EXPECT_EQ(out.out.rfind("usage: qxfw-companion [--program PATH] [OPTION...]\n", 0), 0u)
        << out.out;
    EXPECT_NE(out.out.find("within about 10 s"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(Started()));
}

TEST_F(CompanionTest, UnknownOptionsExitTwoWithOneLineAndStartNothing) {
  for (const std::string& words : std::vector<std::string>{
           "--bogus", "--program '" + Program() + "' --x", "/e:on --verbose", "--program"}) {
    qxfw::test_support::CommandOutput out = Run(words + " 2>&1");
    EXPECT_EQ(out.status, 2) << words;
    EXPECT_EQ(out.out.rfind("qxfw-companion: ", 0), 0u) << out.out;
    EXPECT_EQ(out.out.find('\n'), out.out.size() - 1) << out.out;
    EXPECT_NE(out.out.find("see qxfw-companion --help"), std::string::npos) << out.out;
  }
  EXPECT_FALSE(fs::exists(Started()));
}

TEST_F(CompanionTest, StartAndStopMessagesSayHowLongTheProgramTakesToEnd) {
  ChildProcess companion({COMPANION_PATH, "--program", Program(), "/e:on"}, {}, true);
  std::string started = companion.WaitFor("qxfw-companion: started");
  ASSERT_NE(started, "") << companion.Seen();
  EXPECT_NE(started.find("the program ends within about 10 s"), std::string::npos) << started;
  size_t at = started.find("stop with kill ");
  ASSERT_NE(at, std::string::npos) << started;
  pid_t self = std::atoi(started.c_str() + at + 15);
  ASSERT_GT(self, 0);
  for (int i = 0; i < 200 && !fs::exists(Started()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string pid = qxfw::test_support::ReadTextFile(Started());
  ASSERT_GT(std::atoi(pid.c_str()), 0);
  ASSERT_EQ(kill(self, SIGTERM), 0);
  std::string stopping = companion.WaitFor("qxfw-companion: stopping");
  EXPECT_NE(
      stopping.find("(pid " + std::to_string(std::atoi(pid.c_str())) + ") ends within about 10 s"),
      std::string::npos)
      << companion.Seen();
  // The companion waits for the program and ends with its status.
  ASSERT_EQ(kill(std::atoi(pid.c_str()), SIGTERM), 0);
  EXPECT_EQ(companion.Wait(), 128 + SIGTERM);
}

}  // namespace
