// Named events against a second user on the same machine, played by children that change
// their uid: the user's own event names cannot be taken, and a creator serves only the users
// it names. Needs root.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_event.h"

namespace qxfw::platform {
namespace {

constexpr uid_t kOtherUser = 65534;
constexpr uid_t kServedUser = 4242;

class NamedEventUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play a second user";
    std::string pattern = "/tmp/qxfw-users-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
    // This user's private runtime folder.
    runtime_ = folder_ + "/runtime";
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1), 0);
  }
  void TearDown() override {
    if (!folder_.empty()) std::system(("rm -rf '" + folder_ + "'").c_str());
  }

  // Runs fn in a child as uid; returns fn's result (its exit status), -1 on a failed switch.
  static int AsUser(uid_t uid, const std::function<int()>& fn) {
    pid_t child = ::fork();
    if (child == 0) {
      if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) _exit(255);
      _exit(fn());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
  }

  std::string folder_;
  std::string runtime_;
};

sockaddr_un Address(const std::string& path, bool abstract, socklen_t* length) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t at = abstract ? 1 : 0;
  std::memcpy(addr.sun_path + at, path.data(), std::min(path.size(), sizeof(addr.sun_path) - 2));
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + path.size() +
                                   (abstract ? 0 : 1));
  return addr;
}

// The program's single-instance event and the companion's: another user who takes their names
// first, wherever he can, stops neither.
TEST_F(NamedEventUsersTest, AnotherUserCannotTakeTheUsersEventNames) {
  const char* names[] = {"QXFW.exe Running Event", "TalvoranFirewallRunning_ActiveX"};
  std::string uid = std::to_string(::getuid());
  std::vector<std::string> paths;
  for (const char* name : names) paths.push_back(NamedEventAddress(name, EventScope::kUser));
  ASSERT_FALSE(paths[0].empty());
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t squatter = ::fork();
  ASSERT_GE(squatter, 0);
  if (squatter == 0) {
    if (::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
        ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0) {
      _exit(2);
    }
    char abstractBound = 0, pathBound = 0;
    for (size_t i = 0; i < 2; ++i) {
      const char* name = names[i];
      // Every abstract name these events could have, and the path in the user's folder.
      for (const std::string& address :
           {std::string("qxfw/") + uid + "/" + name, std::string("qxfw/") + name}) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = 0;
        sockaddr_un addr = Address(address, true, &length);
        abstractBound +=
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0 && ::listen(fd, 8) == 0;
      }
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      socklen_t length = 0;
      sockaddr_un addr = Address(paths[i], false, &length);
      pathBound += ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    char report[2] = {abstractBound, pathBound};
    (void)!::write(ready[1], report, 2);
    (void)!::read(done[0], report, 1);
    _exit(0);
  }
  char report[2] = {0, 0};
  ASSERT_EQ(::read(ready[0], report, 2), 2);
  EXPECT_EQ(report[0], 4);  // the abstract names are his
  EXPECT_EQ(report[1], 0);  // the user's folder is not

  for (const char* name : names) {
    int error = 0;
    NamedEventHolder holder;
    auto event = NamedEventCreator::Create(name, EventScope::kUser, &error, {}, &holder);
    EXPECT_NE(event, nullptr) << name << ": " << NamedEventErrorText(error);
    // A second instance of the user's own is still told so.
    EXPECT_EQ(NamedEventCreator::Create(name, EventScope::kUser, &error, {}, &holder), nullptr);
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(holder.pid, ::getpid());
  }
  char byte = 0;
  (void)!::write(done[1], &byte, 1);
  ::waitpid(squatter, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

// An opener is judged by the credentials the kernel gives at accept, whatever the socket's mode
// lets through: another user's connection is closed and gets no signal; the named user's is
// served.
TEST_F(NamedEventUsersTest, AnotherUsersOpenerIsClosedAtAccept) {
  std::string system = folder_ + "/system";
  ASSERT_EQ(::mkdir(system.c_str(), 0755), 0);
  std::string name = "HKNetworkNotifyEvent_QXFW";
  NamedEventOptions options;
  options.folder = system;
  options.openerUser = kServedUser;
  int error = 0;
  auto creator = NamedEventCreator::Create(name, EventScope::kSystem, &error, options);
  ASSERT_NE(creator, nullptr) << NamedEventErrorText(error);
  std::string path = NamedEventAddress(name, EventScope::kSystem, system);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, kServedUser);
  // As if the mode had been opened up: connects of anyone now succeed.
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);

  std::thread setter([&] {
    for (int i = 0; i < 40; ++i) {
      creator->Set();
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  });
  // 0: served a signal; 1: closed without one; 2: no connection; 3: neither within the time.
  auto open = [&] {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    sockaddr_un addr = Address(path, false, &length);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) return 2;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 800) != 1) return 3;
    char signal = 0;
    return ::recv(fd, &signal, 1, 0) == 1 ? 0 : 1;
  };
  EXPECT_EQ(AsUser(kOtherUser, open), 1);
  EXPECT_EQ(AsUser(kServedUser, open), 0);
  EXPECT_EQ(AsUser(0, open), 0);
  setter.join();
  EXPECT_GE(creator->RefusedCount(), 1u);
}

}  // namespace
}  // namespace qxfw::platform
