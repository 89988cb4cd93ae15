// The supervised daemon road with a stand-in daemon in a temporary runtime folder.
#include "setup/supervised_service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "setup/process_identity.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::setup {
namespace {

namespace fs = std::filesystem;
using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteTextFile;

class SupervisedServiceTest : public ::testing::Test {
 protected:
  SupervisedServiceTest() {
    fs::create_directories(temp_.path() + "/system");
    place_.program = temp_.path() + "/system/qltdifw";
    place_.runtime = temp_.path() + "/run";
    fs::copy_file(FAKE_QLTDIFW_PATH, place_.program);
  }
  ~SupervisedServiceTest() override {
    CSupervisedService(place_).Stop();  // never leave a daemon running
  }
  bool SocketThere() const { return fs::exists(place_.runtime + "/qltdifw.sock"); }

  TempDir temp_;
  DaemonPlace place_;
};

TEST_F(SupervisedServiceTest, StartTwiceThenStop) {
  CSupervisedService service(place_);
  ASSERT_TRUE(service.Start(1000));
  pid_t pid = service.RunningPid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(ProcessRunsFile(pid, place_.program));
  EXPECT_TRUE(SocketThere());
  EXPECT_EQ(ReadTextFile(service.PidFile()), std::to_string(pid) + "\n");
  // Already running counts as started, and nothing second is started.
  EXPECT_TRUE(service.Start(1000));
  EXPECT_EQ(service.RunningPid(), pid);
  EXPECT_TRUE(service.Stop());
  EXPECT_FALSE(ProcessRunsFile(pid, place_.program));
  EXPECT_FALSE(SocketThere());
  EXPECT_FALSE(fs::exists(service.PidFile()));
  EXPECT_TRUE(service.Stop());  // stopping a stopped daemon is fine
}

TEST_F(SupervisedServiceTest, AStalePidFileNeverSignalsAnotherProcess) {
  pid_t other = fork();
  if (other == 0) {
    execl("/bin/sleep", "sleep", "30", nullptr);
    _exit(127);
  }
  fs::create_directories(place_.runtime);
  CSupervisedService service(place_);
  WriteTextFile(service.PidFile(), std::to_string(other) + "\n");
  EXPECT_EQ(service.RunningPid(), 0);
  EXPECT_TRUE(service.Stop());
  EXPECT_EQ(kill(other, 0), 0) << "an unrelated process was signalled";
  EXPECT_FALSE(fs::exists(service.PidFile()));
  ASSERT_TRUE(service.Start(1000));
  EXPECT_NE(service.RunningPid(), other);
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
}

TEST_F(SupervisedServiceTest, ACrashedDaemonIsStartedAgain) {
  ScopedEnv crash("FAKE_QLTDIFW_CRASH_MARK", temp_.path() + "/crashed");
  CSupervisedService service(place_);
  ASSERT_TRUE(service.Start(1000));  // the first run aborts, the supervisor starts a second
  EXPECT_TRUE(fs::exists(temp_.path() + "/crashed"));
  EXPECT_GT(service.RunningPid(), 0);
  EXPECT_TRUE(service.Stop());
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(service.RunningPid(), 0) << "a daemon stopped on request came back";
}

TEST_F(SupervisedServiceTest, AMissingDaemonFailsToStart) {
  fs::remove(place_.program);
  CSupervisedService service(place_);
  EXPECT_FALSE(service.Start(1000));
  EXPECT_EQ(service.RunningPid(), 0);
}

}  // namespace
}  // namespace qxfw::setup
