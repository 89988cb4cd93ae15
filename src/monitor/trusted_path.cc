#include "monitor/trusted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

  // The name first, then the file. A process that executes another program in between shows
  // the name of one file and the identity of the other, and the check of the name below
  // finds a different file there: it is not trusted.
  char target[PATH_MAX];
  ssize_t n = ::readlinkat(procDirFd, link, target, sizeof(target));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) return program;
  program.path = std::string(platform::WithoutDeletedMark(std::string_view(target, size_t(n))));
  struct stat file {};
  if (::fstatat(procDirFd, link, &file, 0) != 0) return program;
  program.device = file.st_dev;
  program.inode = file.st_ino;

  // The kernel reports absolute paths; anything else (a link of another kind of file) is
  // nothing rules could match.
  if (program.path.empty() || program.path[0] != '/') return program;
  struct stat here {};
  program.trusted = ::stat(program.path.c_str(), &here) == 0 && S_ISREG(here.st_mode) &&
                    here.st_dev == file.st_dev && here.st_ino == file.st_ino;
  return program;
}

bool IsSigned(platform::SignatureService& service, const RunningProgram& program) {
  if (!program.trusted) return false;
  return service.IsSigned(program.path, program.device, program.inode);
}

uint64_t ProcessStartTicks(pid_t pid) {
  if (pid <= 0) return 0;
  char file[32];
  std::snprintf(file, sizeof(file), "/proc/%d/stat", static_cast<int>(pid));
  platform::UniqueFd fd(::open(file, O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return 0;
  char text[1024];
  ssize_t size = ::read(fd.Get(), text, sizeof(text) - 1);
  if (size <= 0) return 0;
  text[size] = '\0';
  // The command name may hold blanks and parentheses: the fields start after the last ")".
  const char* field = std::strrchr(text, ')');
  if (field == nullptr) return 0;
  // starttime is the 20th field after the name.
  for (int i = 0; i < 20; ++i) {
    field = std::strchr(field + 1, ' ');
    if (field == nullptr) return 0;
  }
  char* end = nullptr;
  unsigned long long ticks = std::strtoull(field + 1, &end, 10);
  return end != field + 1 ? static_cast<uint64_t>(ticks) : 0;
}

bool IsSigned(const RunningProgram& program) {
  if (!program.trusted) return false;
  return platform::IsSigned(program.path, program.device, program.inode);
}

}  // namespace qxfw::monitor
