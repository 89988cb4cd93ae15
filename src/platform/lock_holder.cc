#include "platform/lock_holder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/path_text.h"

namespace qxfw::platform {
namespace {

std::string ProgramOf(pid_t pid) {
  std::string proc = "/proc/" + std::to_string(pid);
  char target[4096];
  ssize_t n = ::readlink((proc + "/exe").c_str(), target, sizeof(target));
  if (n > 0 && static_cast<size_t>(n) < sizeof(target)) {
    return std::string(FileNameOf(WithoutDeletedMark(std::string_view(target, size_t(n)))));
  }
  std::ifstream comm(proc + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace

std::optional<LockHolder> LockHolderOf(const std::string& path, const std::string& locksFile) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  std::ifstream locks(locksFile);
  std::string line;
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiting requests carry "->" first.
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, type, mode, access, pidText, id;
    fields >> number >> type;
    if (type == "->") continue;
    fields >> mode >> access >> pidText >> id;
    if (type != "FLOCK") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(id.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (inode != st.st_ino || ::makedev(major, minor) != st.st_dev) continue;
    long pid = std::strtol(pidText.c_str(), nullptr, 10);
    if (pid <= 0) continue;
    // The lock lives with the open file, which the locker's children may have inherited;
    // a locker that has gone cannot be named.
    std::string program = ProgramOf(static_cast<pid_t>(pid));
    if (program.empty()) return std::nullopt;
    return LockHolder{static_cast<pid_t>(pid), program};
  }
  return std::nullopt;
}

}  // namespace qxfw::platform
