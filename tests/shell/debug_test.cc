#include "shell/debug.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

using test_support::ReadTextFile;
using test_support::TempDir;

platform::SYSTEMTIME FixedTime() {
  return {2024, 3, 0, 7, 5, 9, 4, 0};  // 2024-03-07 05:09:04
}

constexpr char kStamp[] = "2024:03:07 05:09:04 :: ";

std::string Line(const std::string& body) {
  return kStamp + body + "\r\n";
}

TEST(CDebug, WritesOpeningLinesAndClosingLine) {
  TempDir dir;
  {
    CDebug log(dir.path(), FixedTime);
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(log.FileName(), dir.path() + "/log.txt");
    log.Log("AskDlg::SaveChanges", "Program=%s, Port=%d chkIP=%d chkPort=%d", "firefox", 443, 1, 0);
    log.Log("AskDlg::OnLButtonUp", "OnAllow()  \r\n\t");
    EXPECT_EQ(ReadTextFile(dir.path() + "/log.txt"),
              Line("*****Filewall Started") +
                  Line("AskDlg::SaveChanges:Program=firefox, Port=443 chkIP=1 chkPort=0") +
                  Line("AskDlg::OnLButtonUp:OnAllow()"));
  }
  std::string text = ReadTextFile(dir.path() + "/log.txt");
  EXPECT_TRUE(text.ends_with(")\r\n" + Line("Firewall Stoped"))) << text;
}

TEST(CDebug, ShortAndLongMessages) {
  TempDir dir;
  CDebug log(dir.path(), FixedTime);
  log.Log("One", "x");
  log.Log("Blank", "   ");
  log.Log("Two", "xy");
  log.Log("SpaceInside", " a \n");
  log.Log("Long", "%s", std::string(6000, 'm').c_str());
  std::string expected = Line("*****Filewall Started") + Line("One") + Line("Blank") +
                         Line("Two:xy") + Line("SpaceInside: a") +
                         Line("Long:" + std::string(4095, 'm'));
  EXPECT_EQ(ReadTextFile(log.FileName()), expected);
}

TEST(CDebug, FormattingFailureWritesInternalErrorLine) {
  TempDir dir;
  CDebug log(dir.path(), FixedTime);
  // In the C locale a non-ASCII wide character cannot be converted, so vsnprintf fails.
  log.Log("CPortList::Refresh", "%ls", L"\u00e9t\u00e9");
  EXPECT_EQ(
      ReadTextFile(log.FileName()),
      Line("*****Filewall Started") + "[QXFW.exe]: CPortList::Refresh: Logger Internal Error\r\n");
}

TEST(CDebug, AppendsAcrossOpeningsAndSharesForReading) {
  TempDir dir;
  { CDebug first(dir.path(), FixedTime); }
  {
    CDebug second(dir.path(), FixedTime);
    // Two writers at once: nothing locks the file.
    CDebug third(dir.path(), FixedTime);
    EXPECT_TRUE(third.IsOpen());
    second.Log("Second", "%s", "ok");
  }
  std::string started = Line("*****Filewall Started");
  std::string stopped = Line("Firewall Stoped");
  EXPECT_EQ(ReadTextFile(dir.path() + "/log.txt"),
            started + stopped + started + started + Line("Second:ok") + stopped + stopped);
}

TEST(CDebug, EmptyPageFolderUsesCurrentFolder) {
  TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  {
    CDebug log("", FixedTime);
    EXPECT_EQ(log.FileName(), "log.txt");
  }
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(ReadTextFile(dir.path() + "/log.txt"),
            Line("*****Filewall Started") + Line("Firewall Stoped"));
}

TEST(CDebug, UnopenableFileWritesNothing) {
  TempDir dir;
  std::string missing = dir.path() + "/no/such/folder";
  CDebug log(missing, FixedTime);
  EXPECT_FALSE(log.IsOpen());
  log.Log("Label", "message");
  struct stat st {};
  EXPECT_NE(stat((missing + "/log.txt").c_str(), &st), 0);
}

TEST(CDebug, SystemClockAndWholeLinesFromManyThreads) {
  TempDir dir;
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  {
    CDebug log(dir.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < kLines; ++i) log.Log("Worker", "thread %d line %d %s", t, i, "....");
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  std::regex stamp(R"(^\d{4}:\d{2}:\d{2} \d{2}:\d{2}:\d{2} :: (.*)\r$)");
  std::regex worker(R"(Worker:thread \d line \d+ \.\.\.\.)");
  std::istringstream lines(ReadTextFile(dir.path() + "/log.txt"));
  std::string line;
  int count = 0;
  std::vector<std::string> labels;
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stamp)) << line;
    if (std::regex_match(m[1].str(), worker)) {
      ++count;
    } else {
      labels.push_back(m[1].str());
    }
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(labels, (std::vector<std::string>{"*****Filewall Started", "Firewall Stoped"}));
}

TEST(CDebug, ProcessWideLogIsCreatedOnce) {
  TempDir dir;
  TempDir other;
  CDebug& log = CDebug::Create(dir.path());
  EXPECT_EQ(&CDebug::Create(other.path()), &log);
  EXPECT_EQ(CDebug::Instance(), &log);
  EXPECT_EQ(log.FileName(), dir.path() + "/log.txt");
  struct stat st {};
  EXPECT_NE(stat((other.path() + "/log.txt").c_str(), &st), 0);
}

}  // namespace
}  // namespace qxfw::shell
