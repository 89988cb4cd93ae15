#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/system_time.h"
#include "platform/text_compare.h"
#include "platform/text_split.h"
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

TEST(SplitNonEmpty, SkipsEmptyPiecesAnywhere) {
  using Pieces = std::vector<std::string_view>;
  EXPECT_EQ(SplitNonEmpty("/usr/bin:/bin", ':'), (Pieces{"/usr/bin", "/bin"}));
  EXPECT_EQ(SplitNonEmpty(":a::b:", ':'), (Pieces{"a", "b"}));
  EXPECT_EQ(SplitNonEmpty("x", ':'), Pieces{"x"});
  EXPECT_TRUE(SplitNonEmpty("", ':').empty());
  EXPECT_TRUE(SplitNonEmpty(":::", ':').empty());
  EXPECT_EQ(SplitNonEmpty("a;b:c", ';'), (Pieces{"a", "b:c"}));
}

// Names in folder, to see that no temporary is left behind.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReplaceFile, NewFileGetsModeExistingKeepsItsOwnFailureLeavesNothing) {
  test_support::TempDir dir;
  std::string path = dir.path() + "/settings.ini";
  ASSERT_TRUE(ReplaceFile(path, "first\n", 0600));
  std::string text;
  ASSERT_TRUE(ReadWholeFile(path, &text));
  EXPECT_EQ(text, "first\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  std::string big(200000, 'x');  // more than one write's worth on most systems
  ASSERT_TRUE(ReplaceFile(path, big, 0600));
  ASSERT_TRUE(ReadWholeFile(path, &text));
  EXPECT_EQ(text, big);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"settings.ini"});

  // A folder in the way: the rename fails, the reason survives the clean-up.
  std::string blocked = dir.path() + "/blocked";
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  errno = 0;
  EXPECT_FALSE(ReplaceFile(blocked, "text", 0644));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"blocked", "settings.ini"}));
  EXPECT_FALSE(ReplaceFile(dir.path() + "/missing/file", "text", 0644));
  EXPECT_EQ(errno, ENOENT);

  errno = 0;
  EXPECT_FALSE(WriteAll(-1, "x", 1));
  EXPECT_EQ(errno, EBADF);
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
