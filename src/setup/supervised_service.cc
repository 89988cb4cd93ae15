#include "setup/supervised_service.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "setup/process_identity.h"

namespace qxfw::setup {
namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopGraceMs = 10000;
constexpr int kRestartsPerMinute = 3;

volatile sig_atomic_t g_stopRequested = 0;
volatile sig_atomic_t g_daemonPid = 0;

void OnStopSignal(int) {
  g_stopRequested = 1;
  if (g_daemonPid > 0) kill(g_daemonPid, SIGTERM);
}

pid_t ReadPid(const std::string& path) {
  std::string text;
  if (!platform::ReadWholeFile(path, &text, 64)) return 0;
  char* end = nullptr;
  long pid = std::strtol(text.c_str(), &end, 10);
  return pid > 0 && pid < 0x400000 ? static_cast<pid_t>(pid) : 0;
}

bool EndedOnRequest(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 0;
  int sig = WTERMSIG(status);
  return sig == SIGTERM || sig == SIGINT || sig == SIGKILL;
}

}  // namespace

pid_t CSupervisedService::RunningPid() const {
  pid_t pid = ReadPid(PidFile());
  return pid != 0 && ProcessRunsFile(pid, place_.program) ? pid : 0;
}

bool CSupervisedService::Start(uid_t deviceUser) {
  if (RunningPid() != 0) {
    platform::DebugOutput("[QXFWSetup] StartDriver: qltdifw is already running");
    return true;
  }
  if (access(place_.program.c_str(), X_OK) != 0) {
    platform::DebugOutput("[QXFWSetup] StartDriver: no daemon %s (%s)", place_.program.c_str(),
                          std::strerror(errno));
    return false;
  }
  if (mkdir(place_.runtime.c_str(), 0755) != 0 && errno != EEXIST) {
    platform::DebugOutput("[QXFWSetup] StartDriver: cannot create %s (%s)", place_.runtime.c_str(),
                          std::strerror(errno));
    return false;
  }
  pid_t first = fork();
  if (first < 0) return false;
  if (first == 0) {
    // Twice forked: the supervisor belongs to no session of the caller and is nobody's child
    // that would have to be waited for.
    setsid();
    if (fork() != 0) _exit(0);
    Supervise(deviceUser);
  }
  int status = 0;
  while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (RunningPid() != 0 && WaitForDeviceSocket(place_.runtime, 0)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  platform::DebugOutput("[QXFWSetup] StartDriver: qltdifw did not come up within %d ms",
                        kStartTimeoutMs);
  return false;
}

void CSupervisedService::Supervise(uid_t deviceUser) {
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  syscall(SYS_close_range, 3u, ~0u, 0u);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGHUP, SIG_IGN);

  std::string user = std::to_string(deviceUser);
  const char* argv[] = {place_.program.c_str(), "--foreground",         "--user", user.c_str(),
                        "--runtime-dir",        place_.runtime.c_str(), nullptr};
  std::deque<std::chrono::steady_clock::time_point> restarts;
  pid_t last = 0;
  while (!g_stopRequested) {
    pid_t daemon = fork();
    if (daemon < 0) break;
    if (daemon == 0) {
      signal(SIGTERM, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      signal(SIGHUP, SIG_DFL);
      execv(argv[0], const_cast<char**>(argv));
      _exit(127);
    }
    last = daemon;
    g_daemonPid = daemon;
    if (!platform::ReplaceFile(PidFile(), std::to_string(daemon) + "\n", 0644)) {
      kill(daemon, SIGTERM);
    }
    int status = 0;
    while (waitpid(daemon, &status, 0) < 0 && errno == EINTR) {
    }
    g_daemonPid = 0;
    if (g_stopRequested || EndedOnRequest(status)) break;
    auto now = std::chrono::steady_clock::now();
    while (!restarts.empty() && now - restarts.front() > std::chrono::minutes(1)) {
      restarts.pop_front();
    }
    if (static_cast<int>(restarts.size()) >= kRestartsPerMinute) break;
    restarts.push_back(now);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (last != 0 && ReadPid(PidFile()) == last) unlink(PidFile().c_str());
  _exit(0);
}

bool CSupervisedService::Stop() {
  pid_t pid = RunningPid();
  if (pid == 0) {
    if (ReadPid(PidFile()) != 0) unlink(PidFile().c_str());  // stale: nothing of ours runs
    return true;
  }
  if (!EndProcessRunning(pid, place_.program, kStopGraceMs)) {
    platform::DebugOutput("[QXFWSetup] StopDriver: qltdifw (%d) did not end",
                          static_cast<int>(pid));
    return false;
  }
  // The supervisor removes the pid file when it sees the daemon end.
  for (int i = 0; i < 100 && ReadPid(PidFile()) == pid; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (ReadPid(PidFile()) == pid) unlink(PidFile().c_str());
  return true;
}

}  // namespace qxfw::setup
