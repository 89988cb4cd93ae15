#include "monitor/trusted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "platform/file.h"
#include "platform/path_text.h"
#include "platform/signature_service.h"

namespace qxfw::monitor {

RunningProgram TrustedProgramOf(pid_t pid) {
  platform::UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.Valid()) return {};
  return TrustedProgramOf(proc.Get(), pid);
}

RunningProgram TrustedProgramOf(int procDirFd, pid_t pid) {
  RunningProgram program;
  if (pid <= 0) return program;
  char link[32];
  std::snprintf(link, sizeof(link), "%d/exe", static_cast<int>(pid));

  // The file first, then its name, then the file again: a process that executes another
  // program in between shows two different files and is not trusted.
  struct stat before {};
  if (::fstatat(procDirFd, link, &before, 0) != 0) {
    before.st_dev = 0;
    before.st_ino = 0;
  }
  char target[PATH_MAX];
  ssize_t n = ::readlinkat(procDirFd, link, target, sizeof(target));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) return program;
  program.path = std::string(platform::WithoutDeletedMark(std::string_view(target, size_t(n))));
  program.device = before.st_dev;
  program.inode = before.st_ino;

  struct stat after {};
  if (before.st_ino == 0 || ::fstatat(procDirFd, link, &after, 0) != 0 ||
      after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
    return program;
  }
  // The kernel reports absolute paths; anything else (a link of another kind of file) is
  // nothing rules could match.
  if (program.path.empty() || program.path[0] != '/') return program;
  struct stat here {};
  program.trusted = ::stat(program.path.c_str(), &here) == 0 && S_ISREG(here.st_mode) &&
                    here.st_dev == before.st_dev && here.st_ino == before.st_ino;
  return program;
}

bool IsSigned(platform::SignatureService& service, const RunningProgram& program) {
  if (!program.trusted) return false;
  return service.IsSigned(program.path, program.device, program.inode);
}

bool IsSigned(const RunningProgram& program) {
  if (!program.trusted) return false;
  return platform::IsSigned(program.path, program.device, program.inode);
}

}  // namespace qxfw::monitor
