// qxfw-companion: starts the firewall program and keeps it running.
//
// It creates the companion event "TalvoranFirewallRunning_ActiveX", starts qxfw with the
// option text it was given, and holds the event while it runs. It removes the event when it
// is told to stop (SIGINT, SIGTERM, SIGHUP, or the end of its input when that is a pipe), and
// the program then ends itself within one watchdog period. When the program ends first, the
// companion ends with its exit status.
//
//   qxfw-companion [--program PATH] [OPTION TEXT...]
// PATH defaults to $QXFW_PROGRAM, else qxfw in the system folder.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/folders.h"
#include "platform/event_folder.h"
#include "platform/named_event.h"

extern char** environ;

namespace {

constexpr char kCompanionEvent[] = "TalvoranFirewallRunning_ActiveX";

bool InputIsPipe() {
  struct stat st {};
  return ::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

int ExitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--program") == 0) {
    program = argv[2];
    first = 3;
  } else if (const char* env = std::getenv("QXFW_PROGRAM"); env != nullptr && *env != '\0') {
    program = env;
  } else {
    program = qxfw::platform::SystemFolder() + "/qxfw";
  }

  // Blocked before the event's service thread starts, so that every thread inherits the mask
  // and the signals arrive only through the signalfd.
  sigset_t mask;
  sigemptyset(&mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&mask, s);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  qxfw::platform::UniqueFd signals(::signalfd(-1, &mask, SFD_CLOEXEC));

  int error = 0;
  qxfw::platform::NamedEventHolder holder;
  auto event = qxfw::platform::NamedEventCreator::Create(
      kCompanionEvent, qxfw::platform::EventScope::kUser, &error, {}, &holder);
  if (!event) {
    std::string why = qxfw::platform::NamedEventErrorText(error);
    if (error == EEXIST) {
      why = "another companion runs" +
            (holder.pid != 0 ? " (pid " + std::to_string(holder.pid) + ")" : std::string());
    } else if (error == EACCES) {
      why = "it is held by another user (uid " + std::to_string(holder.uid) + "), not by a "
            "companion of yours";
    }
    std::fprintf(stderr, "qxfw-companion: cannot create the companion event in %s: %s\n",
                 qxfw::platform::UserEventFolder().c_str(), why.c_str());
    return 1;
  }

  std::vector<char*> args{program.data()};
  for (int i = first; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  int spawned = posix_spawn(&child, program.c_str(), nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) {
    std::fprintf(stderr, "qxfw-companion: cannot start %s: %s\n", program.c_str(),
                 std::strerror(spawned));
    return 1;
  }
  std::fprintf(stderr, "qxfw-companion: started %s (pid %d); stop with kill %d\n", program.c_str(),
               child, static_cast<int>(::getpid()));

  const bool watchInput = InputIsPipe();
  for (;;) {
    pollfd fds[2] = {{signals.Get(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int n = ::poll(fds, watchInput ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (watchInput && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buffer[256];
      if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signals.Get(), &info, sizeof(info)) != sizeof(info)) continue;
      if (info.ssi_signo == SIGCHLD) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) return ExitStatus(status);
        continue;
      }
      break;
    }
  }
  // Removing the event tells the program to end; wait for it so callers see it gone.
  event.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return ExitStatus(status);
}
