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

// A network namespace of this test, removed with everything in it when the guard goes.
class TestNetns {
 public:
  TestNetns() : name_("qxfwsetup-" + std::to_string(getpid())) {
    made_ = std::system(("ip netns add " + name_ + " 2>/dev/null").c_str()) == 0;
  }
  ~TestNetns() {
    if (made_) std::system(("ip netns delete " + name_ + " 2>/dev/null").c_str());
  }
  bool Made() const { return made_; }
  std::string Exec() const { return "ip netns exec " + name_; }

  // The NFQUEUE rules of every table in the namespace.
  std::set<std::string> QueueRules() const {
    std::set<std::string> rules;
    FILE* out = popen((Exec() + " iptables-save 2>/dev/null").c_str(), "r");
    if (out == nullptr) return rules;
    char line[1024];
    while (fgets(line, sizeof(line), out) != nullptr) {
      if (std::string(line).find("NFQUEUE") != std::string::npos) rules.insert(line);
    }
    pclose(out);
    return rules;
  }

 private:
  std::string name_;
  bool made_ = false;
};

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
  // The daemon filters the namespace it starts in: this test's own, never the machine's.
  TestNetns netns;
  ASSERT_TRUE(netns.Made()) << "cannot create a network namespace";
  std::string env = Env(temp_);
  DaemonPlace place{temp_.path() + "/system/qltdifw", temp_.path() + "/run", ""};
  CSupervisedService supervised(place);
  struct StopGuard {
    CSupervisedService* service;
    ~StopGuard() { service->Stop(); }
  } guard{&supervised};
  ASSERT_TRUE(netns.QueueRules().empty());

  EXPECT_EQ(test::RunSetup("/StartDriver", env, netns.Exec()), 0);
  if (!fs::exists(place.program)) GTEST_SKIP() << "this build carries no filter daemon";
  bool unitRoad = SystemdRuns();
  pid_t pid = supervised.RunningPid();
  if (!unitRoad) {
    EXPECT_GT(pid, 0);
  }
  EXPECT_TRUE(fs::exists(place.runtime + "/qltdifw.sock"));
  EXPECT_FALSE(netns.QueueRules().empty()) << "the daemon queues nothing";
  EXPECT_EQ(test::RunSetup("/StartDriver", env, netns.Exec()), 0);  // already running: success
  if (!unitRoad) {
    EXPECT_EQ(supervised.RunningPid(), pid);
  }

  EXPECT_EQ(test::RunSetup("/StopDriver", env, netns.Exec()), 0);
  EXPECT_EQ(supervised.RunningPid(), 0);
  EXPECT_FALSE(fs::exists(place.runtime + "/qltdifw.sock"));
  EXPECT_TRUE(netns.QueueRules().empty()) << "queue rules were left behind";
  if (!unitRoad) std::printf("systemd is not PID 1 here: the unit road was not taken\n");
}

}  // namespace
}  // namespace qxfw::setup
