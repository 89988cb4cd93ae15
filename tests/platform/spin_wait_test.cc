// The bounded spin: it sees an answer that comes during it, gives up at its deadline, and is
// only done after quick answers on a process that can use a second CPU.
#include "platform/spin_wait.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/file.h"
#include "platform/named_event.h"

namespace qxfw::platform {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(SpinWaitTest, SeesWhatComesMeanwhileAndGivesUpAtTheDeadline) {
  UniqueFd quiet(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  UniqueFd answer(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ASSERT_TRUE(quiet.Valid() && answer.Valid());

  // Nothing comes: it returns at the deadline, not before and not much later.
  pollfd polls[2] = {{quiet.Get(), POLLIN, 0}, {answer.Get(), POLLIN, 0}};
  auto start = SpinClock::now();
  EXPECT_EQ(SpinPoll(polls, 2, start + milliseconds(3)), 0);
  auto spent = SpinClock::now() - start;
  EXPECT_GE(spent, milliseconds(3));
  EXPECT_LT(spent, milliseconds(500));

  // An answer written by another thread during the spin is seen at once, long before the
  // deadline, and SpinForAny names the descriptor.
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(2));
    uint64_t one = 1;
    EXPECT_EQ(write(answer.Get(), &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
  });
  int fds[2] = {quiet.Get(), answer.Get()};
  start = SpinClock::now();
  EXPECT_EQ(SpinForAny(fds, 2, start + std::chrono::seconds(5)), 1);
  writer.join();
  EXPECT_LT(SpinClock::now() - start, std::chrono::seconds(2));
  // A deadline already past still looks once.
  EXPECT_EQ(SpinForAny(fds, 2, SpinClock::now() - milliseconds(1)), 1);
  int bad[1] = {-1};
  EXPECT_EQ(SpinForAny(bad, 1, SpinClock::now() + milliseconds(1)), kWaitTimeout);
}

TEST(SpinWaitTest, SpinsOnlyAfterAQuickAnswer) {
  if (!SpinningCanHelp()) GTEST_SKIP() << "this process may use one CPU only";
  const microseconds budget(100);
  SpinGate gate(budget);
  auto now = SpinClock::now();
  EXPECT_EQ(gate.Until(now), now);  // nothing known yet: sleep
  gate.Record(now - microseconds(40), now);
  EXPECT_EQ(gate.Until(now), now + budget);
  gate.Record(now - microseconds(100), now);  // the budget itself still counts as quick
  EXPECT_EQ(gate.Until(now), now + budget);
  gate.Record(now - milliseconds(3), now);  // a prompt, or a pause between bursts
  EXPECT_EQ(gate.Until(now), now);
  gate.Record(now - microseconds(10), now);
  EXPECT_EQ(gate.Until(now), now + budget);

  SpinGate never(microseconds(0));
  never.Record(now, now);
  EXPECT_EQ(never.Until(now), now);
}

TEST(SpinWaitTest, NeverSpinsOnOneCpu) {
  // Affinity is per thread: this thread alone is held to one CPU.
  std::thread pinned([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    EXPECT_FALSE(SpinningCanHelp());
    SpinGate gate(microseconds(100));
    auto now = SpinClock::now();
    gate.Record(now - microseconds(1), now);
    EXPECT_EQ(gate.Until(now), now);
  });
  pinned.join();
}

}  // namespace
}  // namespace qxfw::platform
