#include "setup/installed_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::setup {
namespace {

using test_support::ReadTextFile;
using test_support::TempDir;
using test_support::WriteTextFile;

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(InstalledFileTest, ReplacesByRenameSoOpenReadersKeepTheOldBytes) {
  TempDir dir;
  std::string path = WriteTextFile(dir.path() + "/Firewall.ini", "old text");
  int reader = open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  ino_t before = InodeOf(path);
  ASSERT_TRUE(WriteInstalledFile(dir.path(), "Firewall.ini", "new text", 0644));
  EXPECT_EQ(ReadTextFile(path), "new text");
  EXPECT_NE(InodeOf(path), before);
  char old[16] = {};
  EXPECT_EQ(pread(reader, old, sizeof(old), 0), 8);
  EXPECT_STREQ(old, "old text");
  close(reader);
  // No temporary is left beside the file.
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.exists() ? 1 : 0;
  EXPECT_EQ(entries, 1);
}

TEST(InstalledFileTest, ReplacesARunningProgram) {
  TempDir dir;
  std::string program = dir.path() + "/qltdifw";
  std::filesystem::copy_file("/bin/sleep", program);
  chmod(program.c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "30", nullptr);
    _exit(127);
  }
  usleep(100000);
  // A truncating open of a running program fails with ETXTBSY; a rename does not.
  EXPECT_TRUE(WriteInstalledFile(dir.path(), "qltdifw", "#!/bin/sh\n", 0755));
  EXPECT_EQ(ReadTextFile(program), "#!/bin/sh\n");
  struct stat st {};
  ASSERT_EQ(stat(program.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(InstalledFileTest, APlantedLinkIsReplacedNotFollowed) {
  TempDir dir;
  std::string target = WriteTextFile(dir.path() + "/target", "precious");
  std::string link = dir.path() + "/Firewall.ini";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WriteInstalledFile(dir.path(), "Firewall.ini", "texts", 0644));
  EXPECT_EQ(ReadTextFile(target), "precious");
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(InstalledFileTest, OnlyWhenMissingKeepsAnExistingFileOrLink) {
  TempDir dir;
  std::string rules = WriteTextFile(dir.path() + "/QLFW.dat", "user rules");
  EXPECT_TRUE(
      WriteInstalledFile(dir.path(), "QLFW.dat", "initial", 0600, WriteMode::kOnlyWhenMissing));
  EXPECT_EQ(ReadTextFile(rules), "user rules");
  std::string dangling = dir.path() + "/dangling";
  ASSERT_EQ(symlink((dir.path() + "/nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_TRUE(WriteInstalledFile(dir.path(), "dangling", "x", 0600, WriteMode::kOnlyWhenMissing));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/nowhere"));
  EXPECT_TRUE(
      WriteInstalledFile(dir.path(), "new.dat", "initial", 0600, WriteMode::kOnlyWhenMissing));
  EXPECT_EQ(ReadTextFile(dir.path() + "/new.dat"), "initial");
}

TEST(InstalledFileTest, FailuresLeaveTheOldFile) {
  TempDir dir;
  EXPECT_FALSE(WriteInstalledFile(dir.path() + "/missing", "a", "x", 0644));
  std::string path = WriteTextFile(dir.path() + "/a", "old");
  if (geteuid() != 0) {
    chmod(dir.path().c_str(), 0500);
    EXPECT_FALSE(WriteInstalledFile(dir.path(), "a", "new", 0644));
    EXPECT_FALSE(DeleteInstalledFile(dir.path(), "a"));
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(ReadTextFile(path), "old");
  }
  EXPECT_TRUE(DeleteInstalledFile(dir.path(), "a"));
  EXPECT_TRUE(DeleteInstalledFile(dir.path(), "a"));  // already gone counts as deleted
}

}  // namespace
}  // namespace qxfw::setup
