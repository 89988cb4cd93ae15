#include "monitor/trusted_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "monitor/image_cacher.h"
#include "monitor/process_list.h"
#include "monitor/running_child.h"
#include "platform/fake_dpkg.h"
#include "platform/file.h"
#include "platform/package_db.h"
#include "platform/signature_service.h"

namespace qxfw::monitor {
namespace {

namespace fs = std::filesystem;
using test_support::FakeDpkg;
using test_support::RunningChild;
using test_support::TempDir;

std::string CopyOfSleep(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing);
  return path;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string Md5OfFile(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return platform::SignatureService::Md5Of(fd.Get());
}

TEST(TrustedProgram, AProgramAtItsOwnPathIsTrusted) {
  TempDir dir;
  std::string program = CopyOfSleep(dir.path() + "/qx prog");
  RunningChild child(program);
  RunningProgram running = TrustedProgramOf(child.pid());
  struct stat st = StatOf(program);
  EXPECT_EQ(running.path, program);
  EXPECT_EQ(running.device, st.st_dev);
  EXPECT_EQ(running.inode, st.st_ino);
  EXPECT_TRUE(running.trusted);
  EXPECT_EQ(CProcessList().PathOf(static_cast<uint32_t>(child.pid())), program);

  // The same answer relative to an open /proc.
  platform::UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  RunningProgram relative = TrustedProgramOf(proc.Get(), child.pid());
  EXPECT_EQ(relative.path, program);
  EXPECT_TRUE(relative.trusted);
}

TEST(TrustedProgram, NoProcessGivesNothing) {
  for (pid_t pid : {0, -1, 0x7ffffffe}) {
    RunningProgram running = TrustedProgramOf(pid);
    EXPECT_TRUE(running.path.empty());
    EXPECT_FALSE(running.trusted);
  }
  EXPECT_EQ(CProcessList().PathOf(0x7ffffffe), "");
}

// Folder names are names: "${Z}.." must not become ".." and walk the path up to another
// program.
TEST(TrustedProgram, VariableLikeFolderNamesAreNotExpanded) {
  TempDir dir;
  std::string path = dir.path();
  size_t depth = static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
  for (size_t i = 0; i < depth; ++i) path += "/${QXFW_UNSET_VARIABLE}..";
  std::string program = CopyOfSleep(path + "/usr/bin/ls");
  ASSERT_EQ(::getenv("QXFW_UNSET_VARIABLE"), nullptr);
  RunningChild child(program);

  RunningProgram running = TrustedProgramOf(child.pid());
  EXPECT_EQ(running.path, program);
  EXPECT_TRUE(running.trusted);
  std::string reported = CProcessList().PathOf(static_cast<uint32_t>(child.pid()));
  EXPECT_EQ(reported, program);
  EXPECT_NE(reported, "/usr/bin/ls");
}

TEST(TrustedProgram, AReplacedOrDeletedExecutableIsNotTrusted) {
  TempDir dir;
  std::string program = CopyOfSleep(dir.path() + "/prog");
  RunningChild child(program);
  struct stat original = StatOf(program);

  // An identical copy put in its place is another file.
  std::string other = CopyOfSleep(dir.path() + "/other");
  fs::rename(other, program);
  RunningProgram replaced = TrustedProgramOf(child.pid());
  EXPECT_EQ(replaced.path, program);
  EXPECT_EQ(replaced.inode, original.st_ino);
  EXPECT_FALSE(replaced.trusted);
  EXPECT_EQ(CProcessList().PathOf(static_cast<uint32_t>(child.pid())), "");

  fs::remove(program);
  RunningProgram deleted = TrustedProgramOf(child.pid());
  EXPECT_EQ(deleted.path, program);  // without the kernel's " (deleted)"
  EXPECT_EQ(deleted.inode, original.st_ino);
  EXPECT_FALSE(deleted.trusted);
  EXPECT_EQ(CProcessList().PathOf(static_cast<uint32_t>(child.pid())), "");
}

// A package owns the program's path and records the checksum of its content.
class RunningSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = CopyOfSleep(dir_.path() + "/bin/prog");
    dpkg_.AddPackage("qxprog", {{program_, Md5OfFile(program_)}});
  }
  TempDir dir_;
  FakeDpkg dpkg_;
  std::string program_;
};

TEST_F(RunningSignatureTest, OnlyTheFileThatRunsIsJudged) {
  platform::PackageDb db(dpkg_.path());
  platform::SignatureService service(&db);
  RunningChild child(program_);
  RunningProgram running = TrustedProgramOf(child.pid());
  ASSERT_TRUE(running.trusted);
  EXPECT_TRUE(IsSigned(service, running));

  // The path alone is not enough when it names another file than the identity given.
  EXPECT_FALSE(service.IsSigned(program_, running.device, running.inode + 1));

  // Replaced by a file with the very content the package recorded: the path is signed, the
  // running process is not (it runs the old file, which no longer has a trusted path).
  std::string copy = CopyOfSleep(dir_.path() + "/copy");
  fs::rename(copy, program_);
  RunningProgram replaced = TrustedProgramOf(child.pid());
  EXPECT_TRUE(service.IsSigned(program_));
  EXPECT_FALSE(IsSigned(service, replaced));
  EXPECT_FALSE(service.IsSigned(program_, replaced.device, replaced.inode));
  // A stale identity handed in with trusted set is still checked against the file.
  replaced.trusted = true;
  EXPECT_FALSE(IsSigned(service, replaced));
}

TEST(TrustedProgram, TheImageCacheKeepsOnlyTrustedPrograms) {
  TempDir dir;
  std::string program = CopyOfSleep(dir.path() + "/prog");
  RunningChild child(program);
  CImageCacher cache;
  uint32_t id = static_cast<uint32_t>(child.pid());
  RunningProgram running = TrustedProgramOf(child.pid());
  ASSERT_TRUE(running.trusted);
  EXPECT_TRUE(cache.Record(id, running));
  EXPECT_EQ(cache.ExecutableOf(id), program);

  CImageCacher other;
  running.trusted = false;
  EXPECT_FALSE(other.Record(id, running));
  EXPECT_EQ(other.ExecutableOf(id), "");
}

TEST(ProcessStartTicksTest, NamesOneProcessUntilItEnds) {
  const uint64_t self = ProcessStartTicks(::getpid());
  EXPECT_NE(self, 0u);
  EXPECT_EQ(ProcessStartTicks(::getpid()), self);
  EXPECT_EQ(ProcessStartTicks(0), 0u);
  EXPECT_EQ(ProcessStartTicks(-5), 0u);
  pid_t child = 0;
  {
    TempDir dir;
    // A name with blanks and a parenthesis must not shift the fields.
    RunningChild running(CopyOfSleep(dir.path() + "/a b) c"));
    child = running.pid();
    const uint64_t ticks = ProcessStartTicks(child);
    EXPECT_GE(ticks, self);
    EXPECT_EQ(ProcessStartTicks(child), ticks);
  }
  // Reaped: nothing holds the pid.
  EXPECT_EQ(ProcessStartTicks(child), 0u);
}

}  // namespace
}  // namespace qxfw::monitor
