// Keeps a repeated log line from flooding the log: the first occurrence is written in full, the
// ones that follow within the interval are only counted, and one summary line per interval says
// how many there were ("N more ... in the last S s"). A quiet interval starts afresh.
// Used by the daemon's one thread; the caller writes the lines.
#pragma once

#include <chrono>
#include <cstdint>

namespace qltdifw {

class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LogThrottle(std::chrono::milliseconds interval) : interval_(interval) {}

  // One occurrence at now: true when it is to be written in full, false when it was counted.
  bool Take(Clock::time_point now);
  // When the interval that counted occurrences is over, or at once with flush (at the end):
  // how many were counted (the caller writes the summary), and a new interval starts; *seconds
  // gets the whole seconds the count spans (at least 1). 0 otherwise.
  uint64_t Due(Clock::time_point now, bool flush = false, long long* seconds = nullptr);
  // When Due next has something to say; Clock::time_point::max() when nothing is counted.
  Clock::time_point NextDue() const;
  std::chrono::milliseconds Interval() const { return interval_; }

 private:
  std::chrono::milliseconds interval_;
  bool open_ = false;  // an interval runs
  Clock::time_point since_{};
  uint64_t counted_ = 0;
};

}  // namespace qltdifw
