// The trusted path of a running process: which program file it executes, as the kernel knows
// it, and whether the path that names it may be believed.
//
// /proc/<pid>/exe is a link the kernel keeps to the very file the process executes; its text is
// the path the process saw when it started, inside its own mount namespace. That text can lie:
// a process in a private mount namespace may run a file bind-mounted over /usr/bin/ls, and an
// executable replaced or deleted since still carries its old path. A path is trusted only when
// the file now at that path in our namespace is the file behind the link (device and inode).
// Rules may match a path, and a program may be judged signed, only when it is trusted.
//
// The access decision, the filter daemon and the process list all ask here. Stateless and
// thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace qxfw::platform {
class SignatureService;
}

namespace qxfw::monitor {

// The program a running process executes, as the kernel knows it.
struct RunningProgram {
  std::string path;  // readlink of /proc/<pid>/exe minus " (deleted)"; empty if unreadable
  dev_t device = 0;  // st_dev / st_ino of the file behind /proc/<pid>/exe
  ino_t inode = 0;
  bool trusted = false;  // true only when the file now at `path` (in our mount namespace)
                         // has the same device and inode: only then may rules match `path`
                         // and may it be judged signed
};

RunningProgram TrustedProgramOf(pid_t pid);
// Relative to an open /proc (or another proc mount); procDirFd stays the caller's.
RunningProgram TrustedProgramOf(int procDirFd, pid_t pid);

// The path rules may match: the program's path when trusted, else empty (unknown).
inline std::string TrustedPathOf(const RunningProgram& program) {
  return program.trusted ? program.path : std::string();
}

// Whether the running program carries a valid signature: false unless it is trusted, and the
// file judged must still be the one the process runs (same device and inode). The first form
// asks the process-wide signature service.
bool IsSigned(const RunningProgram& program);
bool IsSigned(platform::SignatureService& service, const RunningProgram& program);

// When the process started, in clock ticks since boot (/proc/<pid>/stat); 0 when it is gone or
// unreadable. A pid and its start time name one process for the life of the system, so a pid
// that was reused shows another start time.
uint64_t ProcessStartTicks(pid_t pid);

}  // namespace qxfw::monitor
