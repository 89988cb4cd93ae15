#include "platform/spin_wait.h"

#include <sched.h>

#include <cerrno>

namespace qxfw::platform {

bool SpinningCanHelp() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof(cpus), &cpus) != 0) return false;
  return CPU_COUNT(&cpus) > 1;
}

int SpinPoll(pollfd* polls, size_t count, SpinClock::time_point until) {
  for (;;) {
    int n = ::poll(polls, count, 0);
    if (n < 0 && errno != EINTR) return -1;
    if (n > 0) return n;
    if (SpinClock::now() >= until) return 0;
  }
}

SpinGate::SpinGate(std::chrono::microseconds budget)
    : budget_(budget.count() > 0 && SpinningCanHelp() ? budget : std::chrono::microseconds(0)) {}

}  // namespace qxfw::platform
