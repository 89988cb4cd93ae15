// The daemon's word to systemd when the unit runs it (Type=notify, WatchdogSec): "READY=1" once
// it filters, "WATCHDOG=1" from its loop at half the watchdog interval, "STOPPING=1" when it
// stops. A daemon whose loop is stuck stops pinging, and systemd restarts it. Without
// NOTIFY_SOCKET in the environment every call does nothing.
// Used by the daemon's one thread.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <string_view>

#include "platform/file.h"

namespace qltdifw {

class SystemdNotifier {
 public:
  using Clock = std::chrono::steady_clock;
  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID (which, when set, must name this
  // process) and removes them from the environment, so the programs the daemon runs never
  // speak for it.
  SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool Active() const { return socket_.Valid(); }
  // Sends one state datagram; false when there is no socket or it was not taken whole.
  bool Send(std::string_view state);
  // Pings the watchdog when it is due (half its interval since the last ping).
  void Tick(Clock::time_point now);
  // When Tick next has to ping; Clock::time_point::max() without a watchdog.
  Clock::time_point NextPing() const;
  // The watchdog interval systemd asked for; zero without one.
  std::chrono::microseconds WatchdogInterval() const { return watchdog_; }

 private:
  qxfw::platform::UniqueFd socket_;
  sockaddr_un address_{};
  socklen_t addressLength_ = 0;
  std::chrono::microseconds watchdog_{0};
  Clock::time_point lastPing_{};
};

}  // namespace qltdifw
