#include "shell/event_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/debug_output.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

using platform::ScopedDebugCapture;
using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;

constexpr char kMakeError[] = "[QXFW.exe] Error : Can not make log file";
constexpr char kWriteError[] = "[QXFW.exe] Error : Can not write log";

platform::SYSTEMTIME FixedTime() {
  return {2024, 11, 0, 5, 21, 7, 59, 0};  // 2024-11-05 21:07:59
}

// "[QXFW_EVENT][2024.11.5 - 21<si>7<bun>] " with the code page 949 bytes spelt out.
const std::string kPrefix =
    "[QXFW_EVENT][2024.11.5 - 21"
    "\xBD\xC3"
    "7"
    "\xBA\xD0"
    "] ";

TEST(CEventLog, WritesByteExactLinesAndAppends) {
  TempDir dir;
  std::string folder = dir.path() + "/state/qxfw";  // made on first use
  {
    CEventLog log(folder, FixedTime);
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(log.FileName(), folder + "/QXFW.log");
    EXPECT_TRUE(log.WriteText("Allow Button Down"));
    EXPECT_TRUE(log.WriteProgramRule("/usr/lib/firefox-esr/firefox-esr", 1));
  }
  {
    CEventLog again(folder, FixedTime);
    EXPECT_TRUE(again.WriteProgramRule("/opt/a b/tool", 2));
    EXPECT_TRUE(again.WriteProgramRule("/bin/x", -1));
  }
  EXPECT_EQ(ReadTextFile(folder + "/QXFW.log"),
            kPrefix + "Allow Button Down\r\n" + kPrefix +
                "Program Name : /usr/lib/firefox-esr/firefox-esr, Action : 1\r\n" + kPrefix +
                "Program Name : /opt/a b/tool, Action : 2\r\n" + kPrefix +
                "Program Name : /bin/x, Action : -1\r\n");
}

TEST(CEventLog, SecondWriterFailsWhileTheFirstIsOpen) {
  TempDir dir;
  ScopedDebugCapture capture;
  CEventLog first(dir.path(), FixedTime);
  ASSERT_TRUE(first.IsOpen());
  EXPECT_FALSE(capture.Contains(kMakeError));
  {
    CEventLog second(dir.path(), FixedTime);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(capture.Contains(kMakeError));
    EXPECT_FALSE(second.WriteText("Block Button Down"));
    EXPECT_TRUE(capture.Contains(kWriteError));
  }
  EXPECT_TRUE(first.WriteText("Allow Button Up"));
  EXPECT_EQ(ReadTextFile(first.FileName()), kPrefix + "Allow Button Up\r\n");
}

TEST(CEventLog, FolderThatCannotBeMadeReportsAndWritesNothing) {
  TempDir dir;
  std::string file = dir.path() + "/plain";
  std::ofstream(file) << "x";
  ScopedDebugCapture capture;
  CEventLog log(file + "/sub", FixedTime);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{kMakeError});
  EXPECT_FALSE(log.WriteProgramRule("/bin/sh", 1));
  EXPECT_FALSE(log.WriteText("Allow Button Down"));
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{kMakeError, kWriteError, kWriteError}));
}

TEST(CEventLog, OverlongLineIsCutAndStillEnded) {
  TempDir dir;
  CEventLog log(dir.path(), FixedTime);
  std::string text(2000, 't');
  EXPECT_TRUE(log.WriteText(text.c_str()));
  // Two-byte characters: the cut drops a character whole rather than split it.
  std::string accents;
  for (int i = 0; i < 600; ++i) accents += "\xC3\xA9";
  EXPECT_TRUE(log.WriteText(accents.c_str()));
  EXPECT_TRUE(log.WriteText("next"));

  std::string content = ReadTextFile(log.FileName());
  std::string first = kPrefix + std::string(kEventLineBuffer - 3 - kPrefix.size(), 't') + "\r\n";
  ASSERT_EQ(first.size(), kEventLineBuffer - 1);
  ASSERT_TRUE(content.starts_with(first));
  std::string rest = content.substr(first.size());
  size_t end = rest.find("\r\n");
  ASSERT_NE(end, std::string::npos);
  std::string second = rest.substr(0, end);
  ASSERT_TRUE(second.starts_with(kPrefix));
  std::string body = second.substr(kPrefix.size());
  EXPECT_EQ(body.size() % 2, 0u);
  EXPECT_EQ(body, accents.substr(0, body.size()));
  EXPECT_GE(second.size() + 2, kEventLineBuffer - 2);
  EXPECT_EQ(rest.substr(end + 2), kPrefix + "next\r\n");
}

TEST(CEventLog, DefaultsToTheWindowsFolderAndLocalTime) {
  TempDir dir;
  ScopedEnv windows("QXFW_WINDOWS_DIR", dir.path() + "/win");
  {
    CEventLog log;
    EXPECT_EQ(log.FileName(), dir.path() + "/win/QXFW.log");
    EXPECT_TRUE(log.WriteText("Block Button Up"));
  }
  std::string content = ReadTextFile(dir.path() + "/win/QXFW.log");
  EXPECT_TRUE(content.starts_with("[QXFW_EVENT][")) << content;
  EXPECT_TRUE(content.ends_with("\xBA\xD0] Block Button Up\r\n")) << content;
}

}  // namespace
}  // namespace qxfw::shell
