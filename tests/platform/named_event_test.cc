#include "platform/named_event.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace qxfw::platform {
namespace {

// Names unique to this test process, so parallel runs never meet.
std::string UniqueName(const char* what) {
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
  EXPECT_NE(NamedEventCreator::Create(name, EventScope::kUser), nullptr);
}

TEST(NamedEvent, AddressesCarryTheUserForUserNames) {
  EXPECT_EQ(NamedEventAddress("HKNetworkNotifyEvent_QXFW", EventScope::kSystem),
            "qxfw/HKNetworkNotifyEvent_QXFW");
  EXPECT_EQ(NamedEventAddress("QXFW.exe Running Event", EventScope::kUser),
            "qxfw/" + std::to_string(::getuid()) + "/QXFW.exe Running Event");
  EXPECT_EQ(NamedEventCreator::Create(std::string(200, 'x'), EventScope::kUser), nullptr);
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

// A system event is trusted only when root created it: anybody can bind an abstract name.
TEST(NamedEvent, SystemEventOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a creator as another user";
  std::string name = UniqueName("squat");
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(2);
    auto squatter = NamedEventCreator::Create(name, EventScope::kSystem);
    char byte = squatter ? 1 : 0;
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(done[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 1);
  int error = 0;
  EXPECT_EQ(NamedEventHandle::Open(name, EventScope::kSystem, &error), nullptr);
  EXPECT_EQ(error, EACCES);
  EXPECT_FALSE(NamedEventExists(name, EventScope::kSystem));
  (void)!::write(done[1], &byte, 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);

  // Root's own system event is accepted.
  auto creator = NamedEventCreator::Create(name, EventScope::kSystem);
  ASSERT_NE(creator, nullptr);
  EXPECT_TRUE(NamedEventExists(name, EventScope::kSystem));
}

}  // namespace
}  // namespace qxfw::platform
