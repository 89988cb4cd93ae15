// Application messages as Qt event types, and the timer identifiers of the main window.
#pragma once

#include <QEvent>

namespace qxfw::shell {

// A program image was loaded (posted by the notifier with the process id).
inline constexpr QEvent::Type kImageLoadedEvent = static_cast<QEvent::Type>(0x8010);
// From outside, through the instance link: turn the antivirus part on.
inline constexpr QEvent::Type kAntiVirusOnEvent = static_cast<QEvent::Type>(0x8011);

class CImageLoadedEvent : public QEvent {
 public:
  explicit CImageLoadedEvent(int processId) : QEvent(kImageLoadedEvent), processId_(processId) {}
  int ProcessId() const { return processId_; }

 private:
  int processId_;
};

inline constexpr int kPollTimerId = 5654;
inline constexpr int kPollIntervalMs = 100;
inline constexpr int kWatchdogIntervalMs = 10000;

}  // namespace qxfw::shell
