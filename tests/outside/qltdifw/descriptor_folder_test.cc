// A process's descriptor folder: which descriptor holds a socket, asked again and again, and a
// process that has ended.
#include "socket_owner/descriptor_folder.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/file.h"
#include "test_support/temp_dir.h"

namespace qltdifw {
namespace {

using Answer = DescriptorFolder::Answer;

uint64_t InodeOf(int fd) {
  struct stat st {};
  EXPECT_EQ(fstat(fd, &st), 0);
  return st.st_ino;
}

TEST(DescriptorFolder, FindsTheSocketByItsHintOrByTheWalkAndNothingElse) {
  // A folder laid out as /proc lays out descriptor links.
  qxfw::test_support::TempDir root;
  std::filesystem::create_directories(root.path() + "/123/fd");
  std::string fd = root.path() + "/123/fd/";
  std::filesystem::create_symlink("/dev/null", fd + "0");
  std::filesystem::create_symlink("socket:[111]", fd + "3");
  std::filesystem::create_symlink("socket:[222]", fd + "7");
  std::filesystem::create_symlink("pipe:[222]", fd + "9");
  std::filesystem::create_symlink("socket:[2220]", fd + "12");

  DescriptorFolder folder;
  ASSERT_TRUE(folder.Open(root.path(), 123));
  EXPECT_EQ(folder.Pid(), 123);
  EXPECT_EQ(folder.Holds(222), Answer::kHolds);
  EXPECT_EQ(folder.Holds(222), Answer::kHolds);  // the hint, asked again
  EXPECT_EQ(folder.Holds(111), Answer::kHolds);  // the hint misses, the walk finds it
  EXPECT_EQ(folder.Holds(2220), Answer::kHolds);
  EXPECT_EQ(folder.Holds(22), Answer::kNotHeld);
  EXPECT_EQ(folder.Holds(0), Answer::kNotHeld);
  // The hint follows the descriptor, not the inode: a new socket on the same number is found.
  std::filesystem::remove(fd + "12");
  std::filesystem::create_symlink("socket:[333]", fd + "12");
  EXPECT_EQ(folder.Holds(333), Answer::kHolds);
  EXPECT_EQ(folder.Holds(2220), Answer::kNotHeld);

  DescriptorFolder missing;
  EXPECT_FALSE(missing.Open(root.path(), 124));
  EXPECT_EQ(missing.Holds(111), Answer::kGone);
}

TEST(DescriptorFolder, ARealProcessHoldsItsSocketUntilItEnds) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  qxfw::platform::UniqueFd mine(pair[0]);
  qxfw::platform::UniqueFd theirs(pair[1]);
  DescriptorFolder self;
  ASSERT_TRUE(self.Open("/proc", getpid()));
  EXPECT_EQ(self.Holds(InodeOf(mine.Get())), Answer::kHolds);
  uint64_t closed = InodeOf(theirs.Get());
  theirs.Reset();
  EXPECT_EQ(self.Holds(closed), Answer::kNotHeld);

  // A child that ends: its open folder answers kGone, whoever gets its pid next.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    char go;
    close(ready[1]);
    _exit(read(ready[0], &go, 1) >= 0 ? 0 : 1);
  }
  close(ready[0]);
  DescriptorFolder folder;
  ASSERT_TRUE(folder.Open("/proc", child));
  EXPECT_EQ(folder.Holds(InodeOf(mine.Get())), Answer::kHolds);  // inherited
  close(ready[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(folder.Holds(InodeOf(mine.Get())), Answer::kGone);
}

}  // namespace
}  // namespace qltdifw
