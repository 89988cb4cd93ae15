#include "setup/installed_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/debug_output.h"
#include "platform/file.h"

namespace qxfw::setup {
namespace {

bool SameContent(const std::string& path, std::string_view bytes) {
  platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) != bytes.size()) {
    return false;
  }
  char buffer[65536];
  size_t offset = 0;
  while (offset < bytes.size()) {
    ssize_t got = read(fd.Get(), buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (offset + static_cast<size_t>(got) > bytes.size() ||
        std::memcmp(buffer, bytes.data() + offset, static_cast<size_t>(got)) != 0) {
      return false;
    }
    offset += static_cast<size_t>(got);
  }
  return true;
}

std::string TempName(const std::string& name) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".%016llx.new", static_cast<unsigned long long>(random()));
  return "." + name + suffix;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool WriteInstalledFile(const std::string& folder, const std::string& name, std::string_view bytes,
                        mode_t mode, WriteMode how) {
  std::string path = folder + "/" + name;
  if (how == WriteMode::kOnlyWhenMissing && FileExists(path)) return true;
  if (how == WriteMode::kReplace && SameContent(path, bytes)) return true;
  platform::UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) {
    platform::DebugOutput("[QXFWSetup] WriteFile: cannot open the folder %s (%s)", folder.c_str(),
                          std::strerror(errno));
    return false;
  }
  std::string temp = TempName(name);
  platform::UniqueFd fd(
      openat(dir.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.Valid()) {
    platform::DebugOutput("[QXFWSetup] WriteFile: cannot create %s/%s (%s)", folder.c_str(),
                          temp.c_str(), std::strerror(errno));
    return false;
  }
  bool written = platform::WriteAll(fd.Get(), bytes.data(), bytes.size()) &&
                 fchmod(fd.Get(), mode) == 0 && fsync(fd.Get()) == 0;
  int error = errno;
  fd.Reset();
  bool placed = false;
  if (written) {
    if (how == WriteMode::kOnlyWhenMissing) {
      // link() fails when the name exists, so a file made since the test above is kept.
      placed = linkat(dir.Get(), temp.c_str(), dir.Get(), name.c_str(), 0) == 0 || errno == EEXIST;
      error = errno;
      unlinkat(dir.Get(), temp.c_str(), 0);
    } else {
      placed = renameat(dir.Get(), temp.c_str(), dir.Get(), name.c_str()) == 0;
      error = errno;
    }
  }
  if (!placed) {
    unlinkat(dir.Get(), temp.c_str(), 0);
    platform::DebugOutput("[QXFWSetup] WriteFile: cannot write %s (%s)", path.c_str(),
                          std::strerror(error));
    return false;
  }
  fsync(dir.Get());
  return true;
}

bool DeleteInstalledFile(const std::string& folder, const std::string& name) {
  std::string path = folder + "/" + name;
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  platform::DebugOutput("[QXFWSetup] DeleteFile: %s stays (%s)", path.c_str(),
                        std::strerror(errno));
  return false;
}

}  // namespace qxfw::setup
