#include "log_throttle.h"

namespace qltdifw {

bool LogThrottle::Take(Clock::time_point now) {
  // A quiet interval has ended; a counting one waits for Due to report it.
  if (open_ && counted_ == 0 && now - since_ >= interval_) open_ = false;
  if (!open_) {
    open_ = true;
    since_ = now;
    counted_ = 0;
    return true;
  }
  ++counted_;
  return false;
}

uint64_t LogThrottle::Due(Clock::time_point now, bool flush, long long* seconds) {
  if (!open_ || (!flush && now - since_ < interval_)) return 0;
  if (seconds != nullptr) {
    auto span = std::chrono::ceil<std::chrono::seconds>(now - since_).count();
    *seconds = span < 1 ? 1 : span;
  }
  uint64_t counted = counted_;
  counted_ = 0;
  // A counted interval is followed by another that counts from the first occurrence on, so a
  // steady flood gives one summary per interval; a quiet one ends the run.
  open_ = counted != 0;
  since_ = now;
  return counted;
}

LogThrottle::Clock::time_point LogThrottle::NextDue() const {
  return open_ && counted_ != 0 ? since_ + interval_ : Clock::time_point::max();
}

}  // namespace qltdifw
