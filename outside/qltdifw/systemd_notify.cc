#include "systemd_notify.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qltdifw {
namespace {

bool Unsigned(const char* text, unsigned long long* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  std::string name = path != nullptr ? path : "";
  unsigned long long usec = 0, pid = 0;
  bool watchdog = Unsigned(std::getenv("WATCHDOG_USEC"), &usec) && usec > 0;
  if (watchdog && Unsigned(std::getenv("WATCHDOG_PID"), &pid) &&
      pid != static_cast<unsigned long long>(getpid())) {
    watchdog = false;  // meant for another process
  }
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");

  // A path, or an abstract name written with a leading '@'.
  if (name.size() < 2 || (name[0] != '/' && name[0] != '@') ||
      name.size() >= sizeof(address_.sun_path)) {
    return;
  }
  address_.sun_family = AF_UNIX;
  std::memcpy(address_.sun_path, name.data(), name.size());
  if (name[0] == '@') address_.sun_path[0] = '\0';
  addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  socket_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (watchdog && socket_.Valid()) watchdog_ = std::chrono::microseconds(usec);
}

bool SystemdNotifier::Send(std::string_view state) {
  if (!socket_.Valid()) return false;
  ssize_t sent = sendto(socket_.Get(), state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address_), addressLength_);
  return sent == static_cast<ssize_t>(state.size());
}

void SystemdNotifier::Tick(Clock::time_point now) {
  if (watchdog_.count() == 0 || now < NextPing()) return;
  lastPing_ = now;
  Send("WATCHDOG=1");
}

SystemdNotifier::Clock::time_point SystemdNotifier::NextPing() const {
  if (watchdog_.count() == 0) return Clock::time_point::max();
  return lastPing_ + watchdog_ / 2;
}

}  // namespace qltdifw
