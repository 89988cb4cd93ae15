// qxfwctl's help and its messages before set-up: the real binary on empty folders of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "ctl/command_help.h"
#include "test_support/command_output.h"
#include "test_support/temp_dir.h"

namespace qxfw::ctl {
namespace {

namespace fs = std::filesystem;
using Result = test_support::CommandOutput;

class QxfwctlHelpTest : public ::testing::Test {
 protected:
  // qxfwctl with arguments on an empty home, data, system and runtime folder; stdout only
  // unless the arguments redirect stderr.
  Result Run(const std::string& arguments) {
    return test_support::RunCommandLine(
        "HOME='" + Home() + "' QXFW_APPDATA='" + AppData() + "' QXFW_SYSTEM_DIR='" + dir_.path() +
        "/system' QXFW_RUNTIME_DIR='" + dir_.path() + "/run' XDG_CACHE_HOME='" + dir_.path() +
        "/cache' " QXFWCTL_PATH " " + arguments);
  }
  std::string Home() const { return dir_.path() + "/home"; }
  std::string AppData() const { return dir_.path() + "/appdata"; }
  std::string AntiVirus() const { return AppData() + "/QOLTEX/AntiVirus"; }
  // The names in dir_ (sorted), to see that nothing was created.
  std::set<std::string> Created() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      names.insert(entry.path().string().substr(dir_.path().size()));
    }
    return names;
  }
  test_support::TempDir dir_;
};

TEST_F(QxfwctlHelpTest, EveryCommandAnswersHelpWithItsUsageAndExamples) {
  ASSERT_FALSE(CommandNames().empty());
  for (const std::string& command : CommandNames()) {
    Result help = Run(command + " --help");
    EXPECT_EQ(help.status, 0) << command << ": " << help.out;
    EXPECT_EQ(help.out.rfind("usage:\n  qxfwctl " + command + " ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("\nExamples:\n  "), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("\nExit status: "), std::string::npos) << help.out;
    // No other command's lines.
    std::istringstream lines(help.out.substr(0, help.out.find("\n\n")));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
      if (line.rfind("  qxfwctl ", 0) == 0) {
        EXPECT_EQ(line.rfind("  qxfwctl " + command + " ", 0), 0u) << line;
      }
    }
    // The same text for -h, for "help COMMAND" and for --help after other words.
    EXPECT_EQ(Run(command + " -h").out, help.out) << command;
    EXPECT_EQ(Run("help " + command).out, help.out) << command;
    Result late = Run(command + " list x --help");
    EXPECT_EQ(late.status, 0) << command;
    EXPECT_EQ(late.out, help.out) << command;
  }
  EXPECT_EQ(Run("rules add-program allow /usr/bin/true --help").status, 0);
  // Help touches no folder: asking for it is not a command.
  EXPECT_EQ(Created(), std::set<std::string>{});
}

TEST_F(QxfwctlHelpTest, TheOverviewListsExactlyTheCommandsThatHaveHelp) {
  Result overview = Run("--help");
  ASSERT_EQ(overview.status, 0);
  EXPECT_EQ(Run("-h").out, overview.out);
  EXPECT_EQ(Run("help").out, overview.out);
  EXPECT_EQ(overview.out, OverviewHelp());
  // Every usage line of the overview starts with a command that has a help of its own, so a
  // command added to a module without examples shows here.
  std::set<std::string> listed;
  std::istringstream lines(overview.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
      listed.insert(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  std::vector<std::string> names = CommandNames();
  EXPECT_EQ(listed, std::set<std::string>(names.begin(), names.end()));
  EXPECT_NE(overview.out.find("qxfwctl help COMMAND"), std::string::npos);
}

TEST_F(QxfwctlHelpTest, UnknownCommandsAndOptionsExitTwoWithOneLinePointingToHelp) {
  struct Case {
    const char* arguments;
    const char* pointer;
  } cases[] = {
      {"level --bogus", "(see qxfwctl level --help)"},
      {"rules list --bogus", "(see qxfwctl rules --help)"},
      {"rules frobnicate", "(see qxfwctl rules --help)"},
      {"scan --fast /tmp", "(see qxfwctl scan --help)"},
      {"connections --all", "(see qxfwctl connections --help)"},
      {"av frobnicate", "(see qxfwctl av --help)"},
      {"nonsense", "; see qxfwctl --help"},
      {"nonsense --help", "; see qxfwctl --help"},
      {"help nonsense", "; see qxfwctl --help"},
  };
  for (const Case& c : cases) {
    Result r = Run(std::string(c.arguments) + " 2>&1");
    EXPECT_EQ(r.status, 2) << c.arguments << ": " << r.out;
    EXPECT_EQ(r.out.rfind("qxfwctl: ", 0), 0u) << c.arguments << ": " << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << c.arguments << ": " << r.out;
    EXPECT_NE(r.out.find(std::string(c.pointer) + "\n"), std::string::npos)
        << c.arguments << ": " << r.out;
  }
}

TEST_F(QxfwctlHelpTest, CommandsBeforeSetUpSayWhatIsMissingAndHowToInstallIt) {
  const std::string library = "the antivirus library is not installed (" + AntiVirus() +
                              "/libqxav.so); run: qxfwsetup /Install\n";
  fs::create_directories(Home());
  fs::path file = fs::path(dir_.path()) / "clean.txt";
  std::ofstream(file) << "nothing to see\n";
  for (std::string arguments :
       {"scan " + file.string(), std::string("av info"), std::string("update --check"),
        std::string("quarantine restore x")}) {
    Result r = Run(arguments + " 2>&1");
    EXPECT_EQ(r.status, 2) << arguments << ": " << r.out;
    EXPECT_EQ(r.out, "qxfwctl: " + library) << arguments;
  }

  // The library alone: the engine is missing; with the engine, the signatures.
  fs::copy_file(QXAV_BUILD_DIR "/libqxav.so", AntiVirus() + "/libqxav.so");
  for (const char* arguments : {"av info", "scan /etc/hostname"}) {
    Result r = Run(std::string(arguments) + " 2>&1");
    EXPECT_EQ(r.status, 2) << arguments;
    EXPECT_EQ(r.out, "qxfwctl: the scanning engine is not installed (" + AntiVirus() +
                         "/libdvengine32.so); run: qxfwsetup /Install\n");
  }
  fs::copy_file(QXAV_BUILD_DIR "/libdvengine32.so", AntiVirus() + "/libdvengine32.so");
  Result noDatabase = Run("scan " + file.string() + " 2>&1");
  EXPECT_EQ(noDatabase.status, 2);
  EXPECT_EQ(noDatabase.out, "qxfwctl: no signature database is installed (" + AntiVirus() +
                                "/*.vdb); run: qxfwsetup /Install\n");
  fs::copy_file(QXAV_BUILD_DIR "/qxfw.vdb", AntiVirus() + "/qxfw.vdb");
  Result scanned = Run("scan " + file.string() + " 2>&1");
  EXPECT_EQ(scanned.status, 0) << scanned.out;
  EXPECT_NE(scanned.out.find("Scanned files: 1\n"), std::string::npos) << scanned.out;

  // The monitor needs the filter daemon.
  Result monitor = Run("monitor 2>&1");
  EXPECT_EQ(monitor.status, 2);
  EXPECT_EQ(monitor.out, "qxfwctl: the filter daemon is not running (" + dir_.path() +
                             "/run/qltdifw.sock); run: qxfwsetup /StartDriver\n");
}

}  // namespace
}  // namespace qxfw::ctl
