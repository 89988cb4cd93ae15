#include "monitor/shared_folder_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "monitor/samba_tool.h"
#include "platform/debug_output.h"
#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempDir;

std::string SystemPath() {
  const char* path = std::getenv("PATH");
  return path != nullptr ? path : "/usr/bin:/bin";
}

std::vector<tagFIREWALL_SHARED_FOLDER> Walk(CSharedFolderList& list) {
  std::vector<tagFIREWALL_SHARED_FOLDER> records;
  while (list.MoveNext()) records.push_back(list.GetCurrent());
  return records;
}

std::vector<std::string> Names(const std::vector<tagFIREWALL_SHARED_FOLDER>& records) {
  std::vector<std::string> names;
  for (const auto& r : records) names.emplace_back(r.shareName);
  return names;
}

// A Samba configuration of our own: its user shares live in a temporary folder, so "net"
// works on them without a running server.
class SharedFolderListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FindSambaTool("net", SystemPath()).empty() ||
        FindSambaTool("testparm", SystemPath()).empty()) {
      GTEST_SKIP() << "Samba's command-line tools (samba-common-bin) are not installed";
    }
    root_ = dir_.path();
    usershares_ = root_ + "/usershares";
    data_ = root_ + "/data folder";
    fs::create_directories(usershares_);
    fs::create_directories(data_);
    chmod(usershares_.c_str(), 01777);
    conf_ = root_ + "/smb.conf";
    WriteConf("");
  }

  void WriteConf(const std::string& extra, const std::string& usersharePath = "") {
    std::ofstream out(conf_, std::ios::trunc);
    out << "[global]\n"
        << "  usershare path = " << (usersharePath.empty() ? usershares_ : usersharePath) << "\n"
        << "  usershare max shares = 100\n"
        << "  usershare owner only = no\n"
        << "  usershare allow guests = yes\n"
        << "  lock directory = " << root_ << "\n"
        << "  state directory = " << root_ << "\n"
        << "  cache directory = " << root_ << "\n"
        << "  private dir = " << root_ << "\n"
        << "[data]\n  path = " << data_ << "\n  comment = data\n"
        << "[printers]\n  path = /var/spool/samba\n  printable = yes\n"
        << "[homes]\n  browseable = no\n"
        << extra;
  }

  void AddUserShare(const std::string& name) {
    std::string command = "net --configfile='" + conf_ + "' usershare add '" + name + "' '" +
                          data_ + "' 'test share' S-1-1-0:F >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  CSharedFolderList::Options Options() const { return {conf_, SystemPath(), 10000}; }

  TempDir dir_;
  std::string root_, usershares_, data_, conf_;
};

TEST_F(SharedFolderListTest, ListsConfigSharesThenUserShares) {
  AddUserShare("mine");
  CSharedFolderList list(Options());
  auto records = Walk(list);
  EXPECT_EQ(Names(records), (std::vector<std::string>{"data", "printers", "homes", "mine"}));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(std::string(records[0].path), data_);
  EXPECT_EQ(std::string(records[1].path), "/var/spool/samba");
  EXPECT_EQ(std::string(records[2].path), "");
  EXPECT_EQ(std::string(records[3].path), data_);
  for (const auto& r : records) {
    EXPECT_EQ(r.action, 1);
    // Zero-filled before it is set: every byte after the texts is 0.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
    for (size_t i = 2; i < 8; ++i) EXPECT_EQ(bytes[i], 0) << i;
    for (size_t i = 8 + std::strlen(r.shareName); i < 270; ++i) ASSERT_EQ(bytes[i], 0) << i;
    for (size_t i = 270 + std::strlen(r.path); i < 784; ++i) ASSERT_EQ(bytes[i], 0) << i;
  }
  // The walk ended with the cursor back before the first record; it starts over.
  EXPECT_EQ(list.GetCurrent().shareName[0], '\0');
  EXPECT_EQ(list.GetCount(), 4);
  EXPECT_TRUE(list.MoveNext());
  EXPECT_STREQ(list.GetCurrent().shareName, "data");
}

TEST_F(SharedFolderListTest, ReleaseRemovesUserSharesOnly) {
  AddUserShare("mine");
  AddUserShare("other");
  ASSERT_TRUE(fs::exists(usershares_ + "/mine"));

  CSharedFolderList list(Options());
  EXPECT_TRUE(list.Release("MINE"));  // share names ignore case
  EXPECT_EQ(list.GetLastStatus(), CSharedFolderList::kStatusOk);
  EXPECT_FALSE(fs::exists(usershares_ + "/mine"));
  CSharedFolderList fresh(Options());
  EXPECT_EQ(Names(Walk(fresh)), (std::vector<std::string>{"data", "printers", "homes", "other"}));

  // An smb.conf share stays; its file is not touched.
  auto before = fs::last_write_time(conf_);
  EXPECT_FALSE(fresh.Release("data"));
  EXPECT_EQ(fresh.GetLastStatus(), CSharedFolderList::kStatusAccessDenied);
  EXPECT_EQ(fs::last_write_time(conf_), before);

  EXPECT_FALSE(fresh.Release("mine"));  // already gone
  EXPECT_EQ(fresh.GetLastStatus(), CSharedFolderList::kStatusNetNameNotFound);
  EXPECT_FALSE(fresh.Release(nullptr));
}

TEST_F(SharedFolderListTest, HostileShareNamesAreNeverRunThroughAShell) {
  // Whatever a name holds, it is an argument, and names not listed never reach a tool.
  const std::string marker = root_ + "/pwned";
  CSharedFolderList list(Options());
  EXPECT_FALSE(list.Release(("x; touch '" + marker + "'").c_str()));
  EXPECT_FALSE(list.Release("../smb.conf"));
  EXPECT_FALSE(list.Release("-h"));
  EXPECT_EQ(list.GetLastStatus(), CSharedFolderList::kStatusNetNameNotFound);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(fs::exists(conf_));
}

TEST_F(SharedFolderListTest, UserSharesHiddenBySameNamedConfigShare) {
  AddUserShare("Data2");
  WriteConf("[DATA2]\n  path = /srv\n");
  CSharedFolderList list(Options());
  auto records = Walk(list);
  ASSERT_EQ(Names(records), (std::vector<std::string>{"data", "printers", "homes", "DATA2"}));
  EXPECT_STREQ(records[3].path, "/srv");
  EXPECT_FALSE(list.Release("data2"));
  EXPECT_EQ(list.GetLastStatus(), CSharedFolderList::kStatusAccessDenied);
  EXPECT_TRUE(fs::exists(usershares_ + "/data2"));
}

TEST_F(SharedFolderListTest, LongTextsAreCutToTheirFields) {
  // ASCII and then two-byte characters placed so that the last one fitting would be split.
  std::string longPath = "/" + std::string(255, 'p');
  for (int i = 0; i < 200; ++i) longPath += "\xC3\xA9";
  std::string longName = std::string(260, 'n') + "\xC3\xA9" + "tail";
  WriteConf("[" + longName + "]\n  path = " + longPath + "\n");
  CSharedFolderList list(Options());
  auto records = Walk(list);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(std::string(records[3].shareName), longName.substr(0, 260));
  std::string path(records[3].path);
  EXPECT_EQ(path.size(), 510u);  // 511 would end in half a character
  EXPECT_EQ(path, longPath.substr(0, 510));
}

TEST_F(SharedFolderListTest, MissingUsershareFolderListsConfigSharesQuietly) {
  WriteConf("", root_ + "/no-such-folder");
  platform::ScopedDebugCapture capture;
  CSharedFolderList list(Options());
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(SharedFolderListTest, FailuresGiveAnEmptyListAndTheirDebugLine) {
  TempDir empty;
  {
    platform::ScopedDebugCapture capture;
    ScopedEnv path("PATH", empty.path());
    ScopedEnv conf("QXFW_SMB_CONF", conf_);
    CSharedFolderList list;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_FALSE(list.MoveNext());
    EXPECT_TRUE(capture.Contains("[QXFW.exe] CSharedFolderList - Failed to load lib"));
    EXPECT_FALSE(list.Release("data"));
    EXPECT_EQ(list.GetLastStatus(), CSharedFolderList::kStatusNoService);
  }
  {
    // "net" without "testparm".
    fs::create_symlink(FindSambaTool("net", SystemPath()), empty.path() + "/net");
    platform::ScopedDebugCapture capture;
    CSharedFolderList list({conf_, empty.path(), 10000});
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_TRUE(capture.Contains("[QXFW.exe] CSharedFolderList - Failed to GetProcAddress(NT)"));
  }
  {
    platform::ScopedDebugCapture capture;
    CSharedFolderList list({root_ + "/missing.conf", SystemPath(), 10000});
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_TRUE(capture.Contains("[QXFW.exe] CSharedFolderList - Failed NetShareEnum_NT"));
  }
}

TEST_F(SharedFolderListTest, EnvironmentNamesTheConfiguration) {
  AddUserShare("viaenv");
  ScopedEnv conf("QXFW_SMB_CONF", conf_);
  CSharedFolderList list;
  auto names = Names(Walk(list));
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "viaenv");
}

TEST(SambaToolTest, RunsWithoutShellWithinLimits) {
  std::string echo = FindSambaTool("echo", SystemPath());
  std::string sleep = FindSambaTool("sleep", SystemPath());
  std::string yes = FindSambaTool("yes", SystemPath());
  ASSERT_FALSE(echo.empty());
  ASSERT_FALSE(sleep.empty());
  ASSERT_FALSE(yes.empty());

  SambaToolResult said = RunSambaTool(echo, {"$(id)", "a b;c"}, 5000, 1024);
  EXPECT_TRUE(said.Completed());
  EXPECT_EQ(said.exitCode, 0);
  EXPECT_EQ(said.output, "$(id) a b;c\n");

  auto start = std::chrono::steady_clock::now();
  SambaToolResult slow = RunSambaTool(sleep, {"10"}, 200, 1024);
  EXPECT_TRUE(slow.started);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_FALSE(slow.Completed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  SambaToolResult chatty = RunSambaTool(yes, {}, 5000, 10000);
  EXPECT_TRUE(chatty.truncated);
  EXPECT_EQ(chatty.output.size(), 10000u);

  SambaToolResult failing = RunSambaTool(sleep, {"not-a-number"}, 5000, 1024);
  EXPECT_TRUE(failing.Completed());
  EXPECT_NE(failing.exitCode, 0);

  EXPECT_FALSE(RunSambaTool("/nonexistent/tool", {}, 1000, 1024).started);
}

TEST(SambaToolTest, FindsToolsOnAbsoluteSearchFoldersOnly) {
  TempDir dir;
  std::string tool = dir.path() + "/net";
  std::ofstream(tool) << "#!/bin/sh\n";
  EXPECT_EQ(FindSambaTool("net", dir.path()), "");  // not executable
  chmod(tool.c_str(), 0755);
  EXPECT_EQ(FindSambaTool("net", "::relative:" + dir.path()), tool);
  EXPECT_EQ(FindSambaTool("../net", dir.path()), "");
  EXPECT_EQ(FindSambaTool("", dir.path()), "");
  fs::create_directory(dir.path() + "/sub");
  EXPECT_EQ(FindSambaTool("sub", dir.path()), "");  // a folder is no tool
}

}  // namespace
}  // namespace qxfw::monitor
