// As root: work for a pkexec caller is done as that user, and the real daemon is started and
// stopped through qxfwsetup (the supervised road always, the unit road where systemd runs).
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "setup/driver_service.h"
#include "setup/supervised_service.h"
#include "setup_test_support.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::setup {
namespace {

namespace fs = std::filesystem;
using test_support::ReadTextFile;
using test_support::TempDir;
using test_support::WriteTextFile;

constexpr uid_t kNobody = 65534;

std::string Env(const TempDir& temp) {
  return "QXFW_APPDATA=" + temp.path() + "/appdata QXFW_SYSTEM_DIR=" + temp.path() +
         "/system QXFW_RUNTIME_DIR=" + temp.path() + "/run";
}

std::set<std::string> QueueRules() {
  std::set<std::string> rules;
  FILE* out = popen("iptables -S 2>/dev/null; iptables -t mangle -S 2>/dev/null", "r");
  if (out == nullptr) return rules;
  char line[1024];
  while (fgets(line, sizeof(line), out) != nullptr) {
    if (std::string(line).find("NFQUEUE") != std::string::npos) rules.insert(line);
  }
  pclose(out);
  return rules;
}

class SetupRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    fs::create_directories(temp_.path() + "/system");
    chmod(temp_.path().c_str(), 0755);
  }
  TempDir temp_;
};

TEST_F(SetupRootTest, WorkForAPkexecCallerIsDoneAsThatUser) {
  if (getpwuid(kNobody) == nullptr) GTEST_SKIP() << "no user 65534";
  std::string appdata = temp_.path() + "/appdata";
  std::string firewall = appdata + "/QOLTEX/Firewall";
  fs::create_directories(firewall);
  for (const std::string& d : {appdata, appdata + "/QOLTEX", firewall}) {
    ASSERT_EQ(chown(d.c_str(), kNobody, kNobody), 0);
  }
  // The user plants links to files only root may write.
  std::string victim = WriteTextFile(temp_.path() + "/victim", "root's file");
  ASSERT_EQ(symlink(victim.c_str(), (firewall + "/UserOpts.ini").c_str()), 0);
  EXPECT_EQ(test::RunSetup("/Install", Env(temp_) + " PKEXEC_UID=65534"), 0);
  EXPECT_EQ(ReadTextFile(victim), "root's file");
  EXPECT_TRUE(fs::exists(victim));
  struct stat st {};
  ASSERT_EQ(lstat((firewall + "/QLFW.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_FALSE(fs::exists(firewall + "/UserOpts.ini"));  // the link was removed, not followed
  for (auto& entry : fs::recursive_directory_iterator(appdata)) {
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody) << entry.path() << " is not the user's";
  }
  ASSERT_EQ(stat((temp_.path() + "/system/quarantine/65534").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SetupRootTest, StartDriverStartsTheDaemonAndStopDriverStopsIt) {
  std::string env = Env(temp_);
  std::set<std::string> before = QueueRules();
  EXPECT_EQ(test::RunSetup("/StartDriver", env), 0);
  if (!fs::exists(temp_.path() + "/system/qltdifw")) {
    GTEST_SKIP() << "this build carries no filter daemon";
  }
  DaemonPlace place{temp_.path() + "/system/qltdifw", temp_.path() + "/run", ""};
  CSupervisedService supervised(place);
  bool unitRoad = SystemdRuns();
  if (!unitRoad) {
    EXPECT_GT(supervised.RunningPid(), 0);
  }
  EXPECT_TRUE(fs::exists(temp_.path() + "/run/qltdifw.sock"));
  EXPECT_EQ(test::RunSetup("/StartDriver", env), 0);  // already running: success
  EXPECT_EQ(test::RunSetup("/StopDriver", env), 0);
  EXPECT_EQ(supervised.RunningPid(), 0);
  EXPECT_FALSE(fs::exists(temp_.path() + "/run/qltdifw.sock"));
  EXPECT_EQ(QueueRules(), before) << "queue rules were left behind";
  if (!unitRoad) std::printf("systemd is not PID 1 here: only the supervised road was tested\n");
}

}  // namespace
}  // namespace qxfw::setup
