// Helpers of the installer tests: a companion event held by the test, and a run of the real
// qxfwsetup binary with its folders on temporary folders.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "setup/running_program.h"

namespace qxfw::setup::test {

// Holds the companion event "TalvoranFirewallRunning_ActiveX" of uid while it lives.
class CompanionEvent {
 public:
  explicit CompanionEvent(uid_t uid) {
    std::string name = "qxfw/" + std::to_string(uid) + "/" + kCompanionEventName;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    fd_ = platform::UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    held_ = bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            listen(fd_.Get(), 4) == 0;
  }
  bool Held() const { return held_; }
  void Drop() { fd_.Reset(); }

 private:
  platform::UniqueFd fd_;
  bool held_ = false;
};

// Runs qxfwsetup with one argument text (split at blanks as a shell would) and extra
// environment assignments; returns its exit status, -1 when it did not exit.
inline int RunSetup(const std::string& args, const std::string& env) {
  std::string command = env + " " + QXFWSETUP_PATH + " " + args + " </dev/null >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qxfw::setup::test
