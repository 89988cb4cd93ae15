#include "shell/program_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

using test_support::ScopedEnv;
using test_support::TempDir;

std::string MakeFile(const std::string& path, mode_t mode) {
  return test_support::WriteTextFile(path, "#!/bin/sh\n", mode);
}

TEST(ReduceToProgramPath, TakesTheProgramOfACommandLine) {
  EXPECT_EQ(ReduceToProgramPath("\"/opt/My Browser/browser\" --new-window \"%1\""),
            "/opt/My Browser/browser");
  EXPECT_EQ(ReduceToProgramPath("/usr/lib/firefox-esr/firefox-esr %u"),
            "/usr/lib/firefox-esr/firefox-esr");
  EXPECT_EQ(ReduceToProgramPath("/usr/sbin/cupsd\t-l"), "/usr/sbin/cupsd");
  // No extension is added on this platform.
  EXPECT_EQ(ReduceToProgramPath("/opt/tool/run"), "/opt/tool/run");
  // An unclosed quote keeps the rest of the text.
  EXPECT_EQ(ReduceToProgramPath("\"/opt/a b/c"), "/opt/a b/c");
  EXPECT_EQ(ReduceToProgramPath("/usr/lib/../bin/./app --x"), "/usr/bin/app");
  EXPECT_EQ(ReduceToProgramPath(""), "");
  EXPECT_EQ(ReduceToProgramPath("\"\" /bin/sh"), "");
}

TEST(ReduceToProgramPath, ExpandsEnvironmentAndHome) {
  ScopedEnv home("HOME", "/home/ann");
  ScopedEnv tool("QXFW_TEST_TOOL", "/opt/tool");
  EXPECT_EQ(ReduceToProgramPath("$QXFW_TEST_TOOL/bin/app --flag"), "/opt/tool/bin/app");
  EXPECT_EQ(ReduceToProgramPath("\"${QXFW_TEST_TOOL}/my app\" -x"), "/opt/tool/my app");
  EXPECT_EQ(ReduceToProgramPath("~/bin/app"), "/home/ann/bin/app");
}

TEST(ReduceToProgramPath, ResolvesABareNameThroughSearchPath) {
  TempDir dir;
  std::string first = dir.path() + "/first";
  std::string second = dir.path() + "/second";
  mkdir(first.c_str(), 0755);
  mkdir(second.c_str(), 0755);
  // Not executable in the first folder: the search goes on to the second.
  MakeFile(first + "/fakebrowser", 0644);
  std::string program = MakeFile(second + "/fakebrowser", 0755);
  mkdir((first + "/folderprog").c_str(), 0755);
  ScopedEnv path("PATH", ":" + dir.path() + "/missing:" + first + ":" + second + "/../second");

  EXPECT_EQ(ReduceToProgramPath("fakebrowser %u"), program);
  EXPECT_EQ(ReduceToProgramPath("\"fakebrowser\" --private"), program);
  EXPECT_EQ(ReduceToProgramPath("nosuchprogram %u"), "");
  EXPECT_EQ(ReduceToProgramPath("folderprog"), "");
  EXPECT_EQ(FindInSearchPath("fakebrowser"), second + "/../second/fakebrowser");
}

TEST(ReduceToProgramPath, StoresAtMost260Bytes) {
  std::string longPath = "/" + std::string(299, 'a');
  std::string reduced = ReduceToProgramPath(longPath + " --arg");
  ASSERT_EQ(reduced.size(), kMaxProgramPath);
  EXPECT_EQ(reduced, longPath.substr(0, kMaxProgramPath));

  // A two-byte character across the limit is dropped whole.
  std::string accented = "/" + std::string(258, 'b') + "\xC3\xA9" + "tail";
  EXPECT_EQ(ReduceToProgramPath(accented), "/" + std::string(258, 'b'));

  // Expansion is bounded before the cut.
  ScopedEnv huge("QXFW_TEST_HUGE", "/" + std::string(5000, 'c'));
  EXPECT_EQ(ReduceToProgramPath("$QXFW_TEST_HUGE/x"), "/" + std::string(259, 'c'));
}

}  // namespace
}  // namespace qxfw::shell
