// Test helper: a child process that runs a program until the test ends; killed and reaped on
// destruction. An optional step runs in the child before the exec (to enter a namespace).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace qxfw::test_support {

class RunningChild {
 public:
  // Runs `program 30` (a copy of sleep, say). beforeExec returns false to give up (the child
  // then ends with status 126). Waits until /proc shows the child past its exec.
  explicit RunningChild(const std::string& program,
                        const std::function<bool()>& beforeExec = nullptr) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      if (beforeExec && !beforeExec()) ::_exit(126);
      ::execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
    for (int i = 0; i < 300; ++i) {
      std::error_code error;
      auto target = std::filesystem::read_symlink(exe, error);
      if (!error && target.string() != self) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~RunningChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;

  pid_t pid() const { return pid_; }
  // True while the child has not ended (it runs the program, not the give-up path).
  bool Running() const {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace qxfw::test_support
