// Bounded busy waiting for an answer that is about to come.
//
// A process asleep in poll and woken from another CPU runs again only after tens of
// microseconds (about 23 us a hop on the virtual machines we measure on), while a process that
// keeps looking sees the answer at once. Looking costs a CPU for the time, so it is done only
// for a short while, only when the last such wait was short as well (the other side answers
// quickly: no prompt, no burst just ended), and never when the process can run on one CPU
// only, where it would keep the answering side from running.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>

namespace qxfw::platform {

using SpinClock = std::chrono::steady_clock;

// True when this process may run on more than one CPU.
bool SpinningCanHelp();

// Polls without sleeping until one of polls is ready or until has passed. Returns poll's
// count: 0 when nothing came in time, -1 when poll failed.
int SpinPoll(pollfd* polls, size_t count, SpinClock::time_point until);

// Whether and how long to spin for the next answer, from how long the last one took.
class SpinGate {
 public:
  // budget 0, or a process on one CPU: never spins.
  explicit SpinGate(std::chrono::microseconds budget);

  // A wait that began at `since` ends at `now`.
  void Record(SpinClock::time_point since, SpinClock::time_point now) {
    quick_ = now - since <= budget_;
  }
  // When to stop spinning for a wait that begins now: `now` itself (no spin at all) unless
  // the last wait was quick.
  SpinClock::time_point Until(SpinClock::time_point now) const {
    return quick_ ? now + budget_ : now;
  }

 private:
  std::chrono::microseconds budget_;
  bool quick_ = false;
};

}  // namespace qxfw::platform
