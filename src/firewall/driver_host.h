// CDriverHost: what the driver channel and the notifier need of the program that runs them,
// the main window in the windowed program and the event loop in the headless host.
//
// SetPollTimer and KillPollTimer are called on the user-interface thread. PostPoll and
// PostImageLoaded are called from the notifier thread and must only queue work for the
// user-interface thread (one OnPollTimer per PostPoll; the image message for each load).
#pragma once

#include <cstdint>

namespace qxfw::firewall {

constexpr int POLL_TIMER_ID = 5654;

class CDriverHost {
 public:
  virtual ~CDriverHost() = default;
  virtual void SetPollTimer(int periodMs) = 0;
  virtual void KillPollTimer() = 0;
  virtual void PostPoll() = 0;
  virtual void PostImageLoaded(uint32_t processId) = 0;
};

}  // namespace qxfw::firewall
