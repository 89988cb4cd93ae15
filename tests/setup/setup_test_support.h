// Helpers of the installer tests: a companion event held by the test, and a run of the real
// qxfwsetup binary with its folders on temporary folders.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/named_event.h"
#include "setup/running_program.h"

namespace qxfw::setup::test {

// Holds the companion event "TalvoranFirewallRunning_ActiveX" of this user while it lives.
class CompanionEvent {
 public:
  CompanionEvent()
      : creator_(platform::NamedEventCreator::Create(kCompanionEventName,
                                                     platform::EventScope::kUser)) {}
  bool Held() const { return creator_ != nullptr; }
  void Drop() { creator_.reset(); }

 private:
  std::unique_ptr<platform::NamedEventCreator> creator_;
};

// Runs qxfwsetup with one argument text (split at blanks by the shell) and extra environment
// assignments; returns its exit status, -1 when it did not exit.
// prefix runs before it (for example "ip netns exec NAME").
inline int RunSetup(const std::string& args, const std::string& env,
                    const std::string& prefix = "") {
  // No question may reach a real screen or terminal: unless env presets answers, all are "no".
  std::string command = prefix + " env QXFW_SETUP_ANSWERS= " + env + " " + QXFWSETUP_PATH + " " +
                        args + " </dev/null >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qxfw::setup::test
