// Running an outside command and waiting for it (the installer, to start the filter daemon).
//
// RunCommandAndWait is the real runner; callers take a CommandRunner so tests can put a double
// in its place. CBackgroundCommand runs one command at a time on a thread of its own, so the
// user-interface thread never waits for it (a polkit question may stay open for minutes).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qxfw::shell {

// Runs argv (argv[0] looked up in PATH) and waits for it to end. 0 when it ran (whatever its
// exit status), else the errno that kept it from starting.
int RunCommandAndWait(const std::vector<std::string>& argv);

// Runs a command line and waits for it; 0 or a start error, as RunCommandAndWait.
using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;

class CBackgroundCommand {
 public:
  // Called on the command's thread with the runner's result.
  using Done = std::function<void(int result)>;

  CBackgroundCommand();
  // A command still running is left to end on its own; its Done is not called any more.
  ~CBackgroundCommand();
  CBackgroundCommand(const CBackgroundCommand&) = delete;
  CBackgroundCommand& operator=(const CBackgroundCommand&) = delete;

  // Runs job (which runs a command and waits for it) unless an earlier one still runs; false
  // then, and nothing is started.
  bool Start(std::function<int()> job, Done done);
  bool Running() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace qxfw::shell
