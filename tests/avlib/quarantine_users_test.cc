// Quarantine and restore run by root while another user (uid 65534, a forked child that drops
// to it) changes the folders on the way: qxfwctl's scan --quarantine and quarantine restore
// over the built library and engine. Needs root; skipped otherwise.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::avtest {
namespace {

using test_support::ReadTextFile;
using test_support::WriteTextFile;

constexpr uid_t kOther = 65534;
const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Runs body in a child as the other user; its result is the child's exit status (0 = true).
// With wait false the child's pid is returned and the caller stops it.
pid_t AsOtherUser(const std::function<bool()>& body, bool wait = true) {
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kOther) != 0 || setuid(kOther) != 0) _exit(3);
    _exit(body() ? 0 : 1);
  }
  if (!wait || child < 0) return child;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class QuarantineUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    if (getpwuid(kOther) == nullptr) GTEST_SKIP() << "no user 65534";
    // The other user must reach the shared folder: the test folder is opened up to it.
    ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
    shared_ = temp_.path() + "/shared";
    private_ = temp_.path() + "/private";
    ASSERT_EQ(mkdir(shared_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);  // as /tmp
    ASSERT_EQ(mkdir(private_.c_str(), 0700), 0);
    const std::string av = temp_.path() + "/home/QOLTEX/AntiVirus";
    ASSERT_EQ(system(("mkdir -p " + av + " " + temp_.path() + "/system").c_str()), 0);
    for (const char* name : {"libqxav.so", "libdvengine32.so"}) {
      ASSERT_EQ(
          symlink((std::string(QXAV_BUILD_DIR "/") + name).c_str(), (av + "/" + name).c_str()), 0);
    }
    ASSERT_EQ(Run("av default " + av + "/qxfw.vdb"), 0);
  }

  int Run(const std::string& arguments, std::string* out = nullptr) {
    std::string command = "QXFW_APPDATA=" + temp_.path() + "/home QXFW_SYSTEM_DIR=" + temp_.path() +
                          "/system " QXFWCTL_PATH " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = pclose(pipe);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::vector<std::string> QuarantineFiles() {
    std::vector<std::string> files;
    const std::string mine = temp_.path() + "/system/quarantine/0";
    if (!std::filesystem::exists(mine)) return files;
    for (const auto& item : std::filesystem::directory_iterator(mine)) files.push_back(item.path());
    return files;
  }

  test_support::TempDir temp_;
  std::string shared_, private_;
};

// Root quarantined the other user's infected file; the user then put a link to root's private
// folder, or a folder of their own, where the file's folder was. The restore must not write
// through the link (it once replaced root's 0600 file) nor into the user's new folder.
TEST_F(QuarantineUsersTest, RestoreRefusesAFolderTheOtherUserSwappedIn) {
  const std::string d = shared_ + "/d";
  ASSERT_EQ(AsOtherUser([&] {
              return mkdir(d.c_str(), 0755) == 0 &&
                     WriteTextFile(d + "/report", kEicar) == d + "/report";
            }),
            0);
  const std::string secret = WriteTextFile(private_ + "/report", "root only", 0600);
  std::string out;
  ASSERT_EQ(Run("scan --quarantine " + d + "/report", &out), 1) << out;
  ASSERT_NE(out.find("moved to quarantine"), std::string::npos) << out;
  std::vector<std::string> files = QuarantineFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string file = files[0];

  ASSERT_EQ(AsOtherUser(
                [&] { return rmdir(d.c_str()) == 0 && symlink(private_.c_str(), d.c_str()) == 0; }),
            0);
  EXPECT_NE(Run("quarantine restore " + file, &out), 0) << out;
  EXPECT_EQ(ReadTextFile(secret), "root only");
  struct stat st;
  ASSERT_EQ(stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(Exists(file)) << "a refused restore keeps the quarantine file";

  // A real folder of the other user's in its place: refused too.
  ASSERT_EQ(AsOtherUser([&] { return unlink(d.c_str()) == 0 && mkdir(d.c_str(), 0777) == 0; }), 0);
  EXPECT_NE(Run("quarantine restore " + file, &out), 0) << out;
  EXPECT_FALSE(Exists(d + "/report"));
  EXPECT_TRUE(Exists(file));

  // A file without the folder field (as written before it existed) is held to the folder
  // owners alone: still refused.
  const std::string body = ReadTextFile(file).substr(ReadTextFile(file).find(';') + 1);
  const std::string old = WriteTextFile(file + ".old", d + "/report|Qxfw.Test.EICAR;" + body, 0600);
  EXPECT_NE(Run("quarantine restore " + old, &out), 0) << out;
  EXPECT_FALSE(Exists(d + "/report"));

  // Once the user's folder is gone the restore makes it again, as root's.
  ASSERT_EQ(AsOtherUser([&] { return rmdir(d.c_str()) == 0; }), 0);
  ASSERT_EQ(Run("quarantine restore " + file, &out), 0) << out;
  EXPECT_EQ(ReadTextFile(d + "/report"), kEicar);
  EXPECT_FALSE(Exists(file));
}

// While the other user flips their folder between a real folder (holding an infected file) and
// a link to root's private folder (holding a clean file of the same name), root scans that
// path with --quarantine again and again. Root's clean file must never be moved.
TEST_F(QuarantineUsersTest, ScanWithQuarantineNeverMovesAFileItDidNotScan) {
  const std::string d = shared_ + "/d";
  const std::string clean = WriteTextFile(private_ + "/x", "root's clean file", 0600);
  ASSERT_EQ(AsOtherUser([&] { return mkdir(d.c_str(), 0755) == 0; }), 0);
  pid_t flipper = AsOtherUser(
      [&] {
        const std::string real = d + ".real";
        for (;;) {
          if (!Exists(d + "/x")) WriteTextFile(d + "/x", kEicar);
          if (rename(d.c_str(), real.c_str()) != 0 || symlink(private_.c_str(), d.c_str()) != 0)
            return false;
          usleep(200);
          if (unlink(d.c_str()) != 0 || rename(real.c_str(), d.c_str()) != 0) return false;
          usleep(200);
        }
      },
      false);
  ASSERT_GT(flipper, 0);
  int moved = 0;
  for (int scan = 0; scan < 40 && !HasFailure(); ++scan) {
    std::string out;
    Run("scan --quarantine " + d + "/x", &out);
    if (out.find("moved to quarantine") != std::string::npos) ++moved;
    EXPECT_EQ(ReadTextFile(clean), "root's clean file") << "after scan " << scan << ": " << out;
  }
  kill(flipper, SIGKILL);
  waitpid(flipper, nullptr, 0);
  // Whatever was moved is the other user's infected file.
  for (const std::string& file : QuarantineFiles()) {
    std::string stored = ReadTextFile(file);
    EXPECT_EQ(stored.size() - stored.find(';') - 1, kEicar.size()) << file;
  }
  std::printf("%d of 40 scans moved the infected file\n", moved);
}

}  // namespace
}  // namespace qxfw::avtest
