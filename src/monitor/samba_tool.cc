#include "monitor/samba_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/file.h"
#include "platform/text_split.h"

extern char** environ;

namespace qxfw::monitor {
namespace {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// Exit status of the child, -1 when it did not exit normally. A child still running at the
// deadline (it closed its output but went on) is killed.
int WaitChild(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (done == 0) {
      if (Clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return -1;
      }
      ::usleep(2000);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string FindSambaTool(const std::string& name, const std::string& searchPath) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  // An empty entry means the current folder and a relative one starts there; a tool picked up
  // from there is not wanted.
  for (std::string_view folder : platform::SplitNonEmpty(searchPath, ':')) {
    if (folder.front() != '/') continue;
    std::string candidate = std::string(folder) + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

SambaToolResult RunSambaTool(const std::string& program, const std::vector<std::string>& args,
                             int timeoutMs, size_t outputLimit) {
  SambaToolResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  SpawnActions actions;
  if (!actions.ok() ||
      posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_adddup2(actions.get(), writeEnd.Get(), 1) != 0 ||
      posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0) != 0) {
    return result;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ) != 0) {
    return result;
  }
  result.started = true;
  writeEnd.Reset();

  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd pfd{readEnd.Get(), POLLIN, 0};
    int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.timedOut = true;
      break;
    }
    if (n == 0) continue;  // the loop head notices the deadline
    ssize_t got = ::read(readEnd.Get(), buffer, sizeof(buffer));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;  // end of output
    size_t room = outputLimit - result.output.size();
    if (static_cast<size_t>(got) > room) {
      result.output.append(buffer, room);
      result.truncated = true;
      break;
    }
    result.output.append(buffer, static_cast<size_t>(got));
  }
  if (result.timedOut || result.truncated) ::kill(pid, SIGKILL);
  readEnd.Reset();
  int code = WaitChild(pid, deadline);
  if (!result.timedOut && !result.truncated) result.exitCode = code;
  return result;
}

}  // namespace qxfw::monitor
