// A process in a mount namespace of its own runs a fake file bind-mounted over a packaged
// program. The namespace belongs to the child alone: it goes away when the child is killed,
// so nothing is left behind whatever the test's outcome.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "monitor/process_list.h"
#include "monitor/running_child.h"
#include "monitor/trusted_path.h"
#include "platform/package_db.h"
#include "platform/signature_service.h"
#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

namespace fs = std::filesystem;
using test_support::RunningChild;
using test_support::TempDir;

// A packaged program that sleep can stand in for; its own path is what the fake borrows.
constexpr char kPackaged[] = "/usr/bin/ls";

TEST(TrustedProgramNamespace, ABindMountedFakeDoesNotBorrowThePackagedPath) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  if (!fs::exists(kPackaged) || !platform::LoadSignatureService() ||
      !platform::IsSigned(kPackaged)) {
    GTEST_SKIP() << "no packaged " << kPackaged << " on this machine";
  }
  TempDir dir;
  std::string fake = dir.path() + "/fake-" + std::to_string(::getpid());
  fs::copy_file("/bin/sleep", fake);

  RunningChild child(kPackaged, [&fake] {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(fake.c_str(), kPackaged, nullptr, MS_BIND, nullptr) == 0;
  });
  ASSERT_TRUE(child.Running()) << "the child could not set up its namespace";

  RunningProgram running = TrustedProgramOf(child.pid());
  EXPECT_EQ(running.path, kPackaged);  // what the kernel's link says inside the namespace
  struct stat fakeStat {};
  ASSERT_EQ(::stat(fake.c_str(), &fakeStat), 0);
  EXPECT_EQ(running.inode, fakeStat.st_ino);
  EXPECT_EQ(running.device, fakeStat.st_dev);
  EXPECT_FALSE(running.trusted);
  EXPECT_FALSE(IsSigned(running));
  EXPECT_EQ(CProcessList().PathOf(static_cast<uint32_t>(child.pid())), "");

  // The real program, run the ordinary way, is trusted and signed.
  RunningChild real("/bin/sleep");
  RunningProgram packaged = TrustedProgramOf(real.pid());
  EXPECT_TRUE(packaged.trusted);
  EXPECT_TRUE(IsSigned(packaged));
}

}  // namespace
}  // namespace qxfw::monitor
