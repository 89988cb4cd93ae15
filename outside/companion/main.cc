// qxfw-companion: starts the firewall program and keeps it running.
//
// It creates the companion event "TalvoranFirewallRunning_ActiveX", starts qxfw with the
// option text it was given, and holds the event while it runs. It removes the event when it
// is told to stop (SIGINT, SIGTERM, SIGHUP, or the end of its input when that is a pipe), and
// the program then ends itself within one watchdog period (10 s). When the program ends first,
// the companion ends with its exit status.
//
//   qxfw-companion [--program PATH] [OPTION TEXT...]
// PATH defaults to $QXFW_PROGRAM, else qxfw in the system folder. The option text is the
// program's ("/G:...", "/l:4"); words that start with "--" are the companion's own.
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

#include "platform/event_folder.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/named_event.h"

extern char** environ;

namespace {

constexpr char kCompanionEvent[] = "TalvoranFirewallRunning_ActiveX";

bool InputIsPipe() {
  struct stat st {};
  return ::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

constexpr char kUsage[] = R"(usage: qxfw-companion [--program PATH] [OPTION...]
Starts the firewall program with the options given and keeps it running: while the companion
runs it holds the companion event "TalvoranFirewallRunning_ActiveX". Stop it with kill PID
(SIGTERM), Ctrl-C, SIGHUP, or by closing its input when that is a pipe; the program then ends
by itself within about 10 s (its watchdog period; longer while a scan or a signature update
runs), and the companion waits for it. When the program ends first, the companion ends too.
  --program PATH   the program to start (default: $QXFW_PROGRAM, else qxfw in the system
                   folder, $QXFW_SYSTEM_DIR)
  OPTION           the program's start-up options, passed on as given, for example:
                     /G:1,/usr/bin/curl;0,/usr/bin/telnet  program rules (1 allow, 0 block)
                     /P:1,80,80,0.0.0.0,0.0.0.0,1,web,1     an IP/port rule
                     /l:4                                   at least this security level
                     /e:on                                  "Turn off" in the tray menu
  --help, -h       this text
Exit status: the program's; 1 when the companion event cannot be created (another companion
runs) or the program cannot be started; 2 for an unknown option.
)";

// Reads the companion's own words: sets *program and *first (the first option word) and
// returns -1, or returns the exit status when there is nothing to run.
int ReadArguments(int argc, char** argv, std::string* program, int* first) {
  *first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--program") == 0) {
    if (argc < 3 || argv[2][0] == '\0') {
      std::fprintf(stderr, "qxfw-companion: --program needs a path; see qxfw-companion --help\n");
      return 2;
    }
    *program = argv[2];
    *first = 3;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  for (int i = *first; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr, "qxfw-companion: unknown option %s; see qxfw-companion --help\n",
                   argv[i]);
      return 2;
    }
  }
  if (program->empty()) {
    const char* env = std::getenv("QXFW_PROGRAM");
    *program = env != nullptr && *env != '\0' ? std::string(env)
                                              : qxfw::platform::SystemFolder() + "/qxfw";
  }
  return -1;
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
  if (int status = ReadArguments(argc, argv, &program, &first); status >= 0) return status;

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
      why = "it is held by another user (uid " + std::to_string(holder.uid) +
            "), not by a "
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
  std::fprintf(stderr,
               "qxfw-companion: started %s (pid %d); stop with kill %d, and the program ends "
               "within about 10 s\n",
               program.c_str(), child, static_cast<int>(::getpid()));

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
  std::fprintf(stderr,
               "qxfw-companion: stopping; %s (pid %d) ends within about 10 s (longer while a "
               "scan or a signature update runs)\n",
               program.c_str(), child);
  event.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return ExitStatus(status);
}
