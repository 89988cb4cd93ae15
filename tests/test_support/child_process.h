// Test helper: a child process started with posix_spawnp whose standard output (and, when
// asked, standard error) the test reads line by line. The destructor kills a child that is
// still running, so a failing test leaves nothing behind.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace qxfw::test_support {

class ChildProcess {
 public:
  // env: variables added to (or replacing) this process's environment.
  ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env = {},
               bool withStderr = false) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    out_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (withStderr) posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      bool replaced = false;
      for (const auto& added : env) {
        replaced |= entry.compare(0, entry.find('=') + 1, added, 0, added.find('=') + 1) == 0;
      }
      if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line that contains needle ("" matches any line); earlier lines are kept in
  // Seen(). "" on time-out or end of output.
  std::string WaitFor(const std::string& needle, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl;
      while ((nl = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        seen_ += line + "\n";
        if (line.find(needle) != std::string::npos) return line;
      }
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      end - std::chrono::steady_clock::now())
                                      .count());
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) return "";
      char chunk[1024];
      ssize_t n = read(out_, chunk, sizeof(chunk));
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  std::string Line(int timeoutMs = 3000) { return WaitFor("", timeoutMs); }
  // Waits for the end: the exit status, or 128 + the signal.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int Terminate() {
    kill(pid_, SIGTERM);
    return Wait();
  }
  const std::string& Seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::string seen_;
};

}  // namespace qxfw::test_support
