#include "platform/event_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace qxfw::platform {
namespace {

// True when path is a folder of this user's that no one else may enter.
bool IsPrivateFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && path[0] == '/' && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

std::string HomeFolder() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return "";
  }
  return found->pw_dir;
}

}  // namespace

std::string UserEventFolder() {
  std::string base;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && IsPrivateFolder(runtime)) {
    base = runtime;
  } else if (std::string run = "/run/user/" + std::to_string(::getuid()); IsPrivateFolder(run)) {
    base = run;
  }
  std::string folder;
  if (!base.empty()) {
    folder = base + "/qxfw";
  } else {
    std::string home = HomeFolder();
    if (home.empty()) {
      errno = ENOENT;
      return "";
    }
    // The cache folder is the user's own; an existing one keeps its mode.
    if (::mkdir((home + "/.cache").c_str(), 0700) != 0 && errno != EEXIST) return "";
    folder = home + "/.cache/qxfw-run";
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "";
  return folder;
}

UniqueFd OpenGuardedFolder(const std::string& path, FolderGuard guard) {
  UniqueFd fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return fd;
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return UniqueFd();
  uid_t owner = guard == FolderGuard::kPrivate ? ::getuid() : 0;
  mode_t forbidden = guard == FolderGuard::kPrivate ? 077 : 022;
  if (st.st_uid != owner || (st.st_mode & forbidden) != 0) {
    // syslog itself, not the debug lines: a daemon's own log settings stay in force.
    syslog(LOG_WARNING, "event folder %s refused: owner %u mode %03o, wanted owner %u%s",
           path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 0777),
           static_cast<unsigned>(owner),
           guard == FolderGuard::kPrivate ? " and mode 0700" : " and no write for others");
    errno = EPERM;
    return UniqueFd();
  }
  return fd;
}

std::string PathInFolder(int folderFd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
}

}  // namespace qxfw::platform
