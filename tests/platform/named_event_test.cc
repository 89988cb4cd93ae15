#include "platform/named_event.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_folder.h"

namespace qxfw::platform {
namespace {

// This test process's own private runtime folder, as $XDG_RUNTIME_DIR: the user's events go
// there and nowhere else.
const std::string& TestFolder() {
  // Removed when the test process ends (children leave by _exit and remove nothing).
  static const struct Folder {
    Folder() {
      std::string pattern = "/tmp/qxfw-events-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
      ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~Folder() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
  } folder;
  return folder.path;
}

// Names unique to this test process, so parallel runs never meet.
std::string UniqueName(const char* what) {
  TestFolder();
  return std::string("test-") + what + "-" + std::to_string(::getpid());
}

TEST(UnnamedEvent, ModesKeepOrConsumeSignals) {
  Event manual(Event::Mode::kManualReset);
  EXPECT_EQ(manual.Wait(0), WaitResult::kTimeout);
  manual.Set();
  EXPECT_EQ(manual.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(manual.Wait(0), WaitResult::kSignalled);  // stays set
  manual.Reset();
  EXPECT_EQ(manual.Wait(0), WaitResult::kTimeout);

  Event automatic(Event::Mode::kAutoReset);
  automatic.Set();
  automatic.Set();
  EXPECT_EQ(automatic.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(automatic.Wait(0), WaitResult::kTimeout);  // two Sets counted once

  Event counting(Event::Mode::kCounting);
  for (int i = 0; i < 3; ++i) counting.Set();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(counting.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(counting.Wait(0), WaitResult::kTimeout);

  Event initially(Event::Mode::kAutoReset, true);
  EXPECT_EQ(initially.Wait(0), WaitResult::kSignalled);
}

TEST(UnnamedEvent, WaitForAnyNamesTheReadyOneAndTimesOut) {
  Event a(Event::Mode::kAutoReset), b(Event::Mode::kAutoReset);
  int fds[] = {a.Fd(), b.Fd()};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForAny(fds, 2, 30), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  b.Set();
  EXPECT_EQ(WaitForAny(fds, 2, 1000), 1);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a.Set();
  });
  EXPECT_EQ(WaitForAny(fds, 1, 2000), 0);
  setter.join();
}

TEST(NamedEvent, ExistsExactlyWhileItsCreatorHoldsIt) {
  std::string name = UniqueName("exist");
  int error = 0;
  EXPECT_EQ(NamedEventHandle::Open(name, EventScope::kUser, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(NamedEventExists(name, EventScope::kUser));
  {
    auto first = NamedEventCreator::Create(name, EventScope::kUser, &error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(NamedEventExists(name, EventScope::kUser));
    // The same name in the other scope is another event.
    EXPECT_FALSE(NamedEventExists(name, EventScope::kSystem));
    // The second creator learns it is second.
    EXPECT_EQ(NamedEventCreator::Create(name, EventScope::kUser, &error), nullptr);
    EXPECT_EQ(error, EEXIST);
  }
  EXPECT_FALSE(NamedEventExists(name, EventScope::kUser));
  // Nothing is left behind in the folder.
  struct stat st;
  EXPECT_NE(::stat(NamedEventAddress(name, EventScope::kUser).c_str(), &st), 0);
  EXPECT_NE(::stat((NamedEventAddress(name, EventScope::kUser) + ".lock").c_str(), &st), 0);
  EXPECT_NE(NamedEventCreator::Create(name, EventScope::kUser), nullptr);
}

TEST(NamedEvent, UserNamesLiveInThePrivateFolder) {
  EXPECT_EQ(NamedEventAddress("QXFW.exe Running Event", EventScope::kUser),
            TestFolder() + "/qxfw/QXFW.exe Running Event");
  struct stat st;
  ASSERT_EQ(::stat((TestFolder() + "/qxfw").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A system event has no folder of its own: its creator names one.
  EXPECT_EQ(NamedEventAddress("HKNetworkNotifyEvent_QXFW", EventScope::kSystem), "");
  EXPECT_EQ(NamedEventAddress("HKNetworkNotifyEvent_QXFW", EventScope::kSystem, "/run/x"),
            "/run/x/HKNetworkNotifyEvent_QXFW");
  int error = 0;
  EXPECT_EQ(NamedEventCreator::Create(std::string(300, 'x'), EventScope::kUser, &error), nullptr);
  EXPECT_EQ(error, ENAMETOOLONG);
  EXPECT_EQ(NamedEventCreator::Create("a/b", EventScope::kUser, &error), nullptr);
  EXPECT_EQ(error, EINVAL);
}

TEST(NamedEvent, FolderOpenToOthersIsRefused) {
  std::string open = TestFolder() + "/open";
  ASSERT_TRUE(::mkdir(open.c_str(), 0700) == 0 || errno == EEXIST);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  int error = 0;
  NamedEventOptions options;
  options.folder = open;
  EXPECT_EQ(NamedEventCreator::Create(UniqueName("open"), EventScope::kUser, &error, options),
            nullptr);
  EXPECT_EQ(error, EPERM);
  // A private $XDG_RUNTIME_DIR of someone else's is not taken: the fallback is used.
  ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", open.c_str(), 1), 0);
  std::string fallback = UserEventFolder();
  ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", TestFolder().c_str(), 1), 0);
  EXPECT_NE(fallback.rfind(open, 0), 0u) << fallback;
  EXPECT_FALSE(fallback.empty());
}

TEST(NamedEvent, EverySetIsOneWakeAndNoneIsLost) {
  std::string name = UniqueName("count");
  auto creator = NamedEventCreator::Create(name, EventScope::kUser);
  ASSERT_NE(creator, nullptr);
  auto handle = NamedEventHandle::Open(name, EventScope::kUser);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->CreatorPid(), ::getpid());
  // Set at once after the open: the opener must already be reached.
  EXPECT_EQ(creator->Set(), 1u);
  creator->Set();
  creator->Set();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(handle->Wait(1000), WaitResult::kSignalled);
  EXPECT_EQ(handle->Wait(0), WaitResult::kTimeout);

  // A second opener receives its own signals.
  auto other = NamedEventHandle::Open(name, EventScope::kUser);
  ASSERT_NE(other, nullptr);
  // Far more signals than a socket buffer holds as single writes: none may be lost while the
  // openers are slow to read.
  constexpr size_t kBurst = 20000;
  for (size_t i = 0; i < kBurst; ++i) ASSERT_EQ(creator->Set(), 2u);
  for (NamedEventHandle* reader : {handle.get(), other.get()}) {
    size_t total = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (total < kBurst && std::chrono::steady_clock::now() < deadline) {
      if (reader->Wait(100) == WaitResult::kSignalled) total += 1 + reader->ConsumeAll();
    }
    EXPECT_EQ(total, kBurst);
    EXPECT_EQ(reader->Wait(20), WaitResult::kTimeout);
  }
}

TEST(NamedEvent, OpenerLearnsWhenTheCreatorGoes) {
  std::string name = UniqueName("gone");
  auto creator = NamedEventCreator::Create(name, EventScope::kUser);
  ASSERT_NE(creator, nullptr);
  auto handle = NamedEventHandle::Open(name, EventScope::kUser);
  ASSERT_NE(handle, nullptr);
  creator->Set();
  creator.reset();
  EXPECT_EQ(handle->Wait(1000), WaitResult::kSignalled);  // a signal sent before still counts
  EXPECT_EQ(handle->Wait(1000), WaitResult::kGone);
  EXPECT_FALSE(handle->Post(1));
}

TEST(NamedEvent, ExistenceChecksLeaveNothingBehind) {
  std::string name = UniqueName("checks");
  auto creator = NamedEventCreator::Create(name, EventScope::kUser);
  ASSERT_NE(creator, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(NamedEventExists(name, EventScope::kUser));
  // The service thread drops openers that hung up.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (creator->OpenerCount() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(creator->OpenerCount(), 0u);
  EXPECT_EQ(creator->Set(), 0u);
}

TEST(NamedEvent, OpenersPostMessagesInOrder) {
  std::string name = UniqueName("post");
  auto creator = NamedEventCreator::Create(name, EventScope::kUser);
  ASSERT_NE(creator, nullptr);
  auto handle = NamedEventHandle::Open(name, EventScope::kUser);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(handle->Post(0x11));
  ASSERT_TRUE(handle->Post(0x22));
  int fd = creator->MessageFd();
  uint8_t code = 0;
  ASSERT_EQ(WaitForAny(&fd, 1, 2000), 0);
  ASSERT_TRUE(creator->TakeMessage(&code));
  EXPECT_EQ(code, 0x11);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!creator->TakeMessage(&code) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(code, 0x22);
  EXPECT_FALSE(creator->TakeMessage(&code));
}

// The CPU time (user + system) a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return -1;
  char text[1024] = {};
  size_t n = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  const char* p = std::strrchr(text, ')');
  if (n == 0 || p == nullptr) return -1;
  unsigned long long utime = 0, stime = 0;
  // After the command: state and fields 4..13, then utime (14) and stime (15).
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) !=
      2) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Starts connecting to the user's event `name` without waiting; -1 when the connect failed.
int StartConnect(const std::string& name) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s",
                NamedEventAddress(name, EventScope::kUser).c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(NamedEvent, OpenersBeyondTheCapsAreTurnedAway) {
  std::string name = UniqueName("cap");
  NamedEventOptions options;
  options.maxOpeners = 6;
  auto creator = NamedEventCreator::Create(name, EventScope::kUser, nullptr, options);
  ASSERT_NE(creator, nullptr);
  // One process holds at most four.
  std::vector<std::unique_ptr<NamedEventHandle>> mine;
  for (int i = 0; i < 5; ++i) mine.push_back(NamedEventHandle::Open(name, EventScope::kUser));
  for (auto& handle : mine) ASSERT_NE(handle, nullptr);
  EXPECT_EQ(mine[4]->Wait(2000), WaitResult::kGone);
  EXPECT_EQ(creator->OpenerCount(), 4u);
  // Two more processes fill the cap of six; the third is turned away.
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  std::vector<pid_t> children;
  for (int c = 0; c < 3; ++c) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Each opens one after the one before has been taken in.
      auto handle = NamedEventHandle::Open(name, EventScope::kUser);
      char byte = handle && handle->Wait(3000) == WaitResult::kSignalled ? 's' : 'g';
      (void)!::write(results[1], &byte, 1);
      _exit(0);
    }
    children.push_back(child);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (creator->OpenerCount() + creator->RefusedCount() < 6u + static_cast<size_t>(c) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  EXPECT_EQ(creator->OpenerCount(), 6u);
  EXPECT_EQ(creator->RefusedCount(), 2u);
  EXPECT_EQ(creator->Set(), 6u);
  std::string seen;
  for (int c = 0; c < 3; ++c) {
    char byte = 0;
    ASSERT_EQ(::read(results[0], &byte, 1), 1);
    seen += byte;
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, "gss");
  for (pid_t child : children) ::waitpid(child, nullptr, 0);
  ::close(results[0]);
  ::close(results[1]);
}

// A creator out of descriptors turns waiting openers away instead of polling a listener it
// cannot accept from.
TEST(NamedEvent, ACreatorOutOfDescriptorsNeitherSpinsNorKeepsOpenersWaiting) {
  std::string name = UniqueName("emfile");
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit few{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) _exit(2);
    auto creator = NamedEventCreator::Create(name, EventScope::kUser);
    if (!creator) _exit(3);
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
    char byte = 1;
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(done[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  std::vector<int> openers;
  for (int i = 0; i < 100; ++i) {
    int fd = StartConnect(name);
    if (fd >= 0) openers.push_back(fd);
  }
  EXPECT_GT(openers.size(), 50u);
  double before = CpuSeconds(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  double used = CpuSeconds(child) - before;
  EXPECT_LT(used, 0.3) << "CPU seconds of the creator in 1.5 s";
  // Every opener learns it was turned away.
  size_t ended = 0;
  for (int fd : openers) {
    pollfd p{fd, POLLIN, 0};
    char signal;
    if (::poll(&p, 1, 2000) == 1 && ::recv(fd, &signal, 1, MSG_DONTWAIT) <= 0) ++ended;
    ::close(fd);
  }
  EXPECT_EQ(ended, openers.size());
  (void)!::write(done[1], &byte, 1);
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

// A system event is trusted only when root created it in a folder only root may write.
TEST(NamedEvent, SystemEventOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a creator as another user";
  std::string name = UniqueName("squat");
  std::string rootFolder = TestFolder() + "/system";
  std::string userFolder = TestFolder() + "/nobody";
  ASSERT_EQ(::chmod(TestFolder().c_str(), 0711), 0);  // the other user passes through
  ASSERT_TRUE(::mkdir(rootFolder.c_str(), 0755) == 0 || errno == EEXIST);
  ASSERT_TRUE(::mkdir(userFolder.c_str(), 0755) == 0 || errno == EEXIST);
  ASSERT_EQ(::chown(userFolder.c_str(), 65534, 65534), 0);
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(2);
    NamedEventOptions inRoot, inOwn;
    inRoot.folder = rootFolder;
    inOwn.folder = userFolder;
    int refusedRoot = 0, refusedOwn = 0;
    bool none =
        NamedEventCreator::Create(name, EventScope::kSystem, &refusedRoot, inRoot) == nullptr &&
        NamedEventCreator::Create(name, EventScope::kSystem, &refusedOwn, inOwn) == nullptr;
    // What it can do: listen on a socket of that name in its own folder.
    UniqueFd squat(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = userFolder + "/" + name;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    bool bound = ::bind(squat.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                 ::chmod(path.c_str(), 0666) == 0 && ::listen(squat.Get(), 8) == 0;
    char byte = none && refusedRoot == EPERM && refusedOwn == EPERM && bound ? 1 : 0;
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(done[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 1);
  int error = 0;
  EXPECT_EQ(NamedEventHandle::Open(name, EventScope::kSystem, &error, userFolder), nullptr);
  EXPECT_EQ(error, EACCES);
  EXPECT_FALSE(NamedEventExists(name, EventScope::kSystem, userFolder));
  EXPECT_EQ(NamedEventHandle::Open(name, EventScope::kSystem, &error, rootFolder), nullptr);
  EXPECT_EQ(error, ENOENT);
  (void)!::write(done[1], &byte, 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);

  // Root's own system event is accepted.
  NamedEventOptions options;
  options.folder = rootFolder;
  auto creator = NamedEventCreator::Create(name, EventScope::kSystem, &error, options);
  ASSERT_NE(creator, nullptr) << error;
  EXPECT_TRUE(NamedEventExists(name, EventScope::kSystem, rootFolder));
}

}  // namespace
}  // namespace qxfw::platform
