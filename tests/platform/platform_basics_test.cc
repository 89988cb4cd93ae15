#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/system_time.h"
#include "platform/text_compare.h"
#include "test_support/temp_dir.h"

namespace qxfw::platform {
namespace {

TEST(TextCompare, FoldsAsciiOnlyAndKeepsMultibyteUnits) {
  EXPECT_TRUE(EqualNoCase("/USR/Bin/Firefox", "/usr/bin/firefox"));
  EXPECT_FALSE(EqualNoCase("/usr/bin/a", "/usr/bin/ab"));
  // "É" (C3 89) and "é" (C3 A9) are different characters: only ASCII is folded.
  EXPECT_FALSE(EqualNoCase("/tmp/\xC3\x89t\xC3\xA9", "/tmp/\xC3\xA9t\xC3\xA9"));
  EXPECT_TRUE(EqualNoCase("/tmp/\xED\x95\x9C/A", "/tmp/\xED\x95\x9C/a"));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_GT(CompareNoCase("b", "A"), 0);
  EXPECT_LT(CompareNoCase("ab", "abc"), 0);
  char a[8] = {'A', 'b', 0, 'x'};
  char b[8] = {'a', 'B', 0, 'y'};
  EXPECT_EQ(CompareBufferNoCase(a, b, sizeof(a)), 0);
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(CompareBufferNoCase(unterminated, "ABCD", sizeof(unterminated)), 0);
}

TEST(DebugOutput, FormatsTrimsAndCapsLines) {
  ScopedDebugCapture capture;
  DebugOutput("[QXFW]%s: %d  \t\n", "CPortList::Refresh", 7);
  DebugOutput("%s", std::string(5000, 'x').c_str());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[QXFW]CPortList::Refresh: 7");
  EXPECT_EQ(lines[1].size(), 4095u);
}

TEST(Folders, EnvironmentOverridesAndProductFolderCreation) {
  test_support::TempDir dir;
  test_support::ScopedEnv appdata("QXFW_APPDATA", dir.path() + "/app/data");
  test_support::ScopedEnv windows("QXFW_WINDOWS_DIR", dir.path() + "/win");
  EXPECT_EQ(AppDataFolder(), dir.path() + "/app/data");
  EXPECT_EQ(WindowsFolder(), dir.path() + "/win");
  std::string folder = FirewallDataFolder();
  EXPECT_EQ(folder, dir.path() + "/app/data/QOLTEX/Firewall");
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(AntiVirusFolder(), dir.path() + "/app/data/QOLTEX/AntiVirus");
}

TEST(PosixFile, SecondOpenerFailsUntilFirstCloses) {
  test_support::TempDir dir;
  std::string path = dir.path() + "/held.dat";
  auto first = PosixFile::OpenExclusive(path);
  ASSERT_TRUE(first);
  EXPECT_FALSE(PosixFile::OpenExclusive(path));
  ASSERT_TRUE(first->WriteAt(10, "abc", 3));
  EXPECT_EQ(first->Size(), 13);
  char buf[8] = {};
  EXPECT_EQ(first->ReadAt(11, buf, sizeof(buf)), 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  EXPECT_EQ(first->ReadAt(100, buf, sizeof(buf)), 0);
  ASSERT_TRUE(first->Truncate(4));
  EXPECT_EQ(first->Size(), 4);
  first.reset();
  EXPECT_TRUE(PosixFile::OpenExclusive(path));
}

TEST(SystemTime, LocalFieldsMatchLibc) {
  time_t moment = 1700000000;  // a Tuesday
  SYSTEMTIME st = LocalTimeFrom(moment, 250);
  tm t{};
  localtime_r(&moment, &t);
  EXPECT_EQ(st.wYear, t.tm_year + 1900);
  EXPECT_EQ(st.wMonth, t.tm_mon + 1);
  EXPECT_EQ(st.wDayOfWeek, t.tm_wday);
  EXPECT_EQ(st.wDay, t.tm_mday);
  EXPECT_EQ(st.wHour, t.tm_hour);
  EXPECT_EQ(st.wMilliseconds, 250);
  SYSTEMTIME now = GetSystemTime();
  EXPECT_GE(now.wYear, 2024);
}

}  // namespace
}  // namespace qxfw::platform
