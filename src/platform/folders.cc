#include "platform/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifndef QXFW_INSTALL_PREFIX
#define QXFW_INSTALL_PREFIX "/usr/local"
#endif

namespace qxfw::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return "/";
}

std::string AppDataFolder() {
  if (std::string v = Env("QXFW_APPDATA"); !v.empty()) return v;
  if (std::string v = Env("XDG_DATA_HOME"); !v.empty()) return v;
  return HomeFolder() + "/.local/share";
}

std::string SystemFolder() {
  if (std::string v = Env("QXFW_SYSTEM_DIR"); !v.empty()) return v;
  return QXFW_INSTALL_PREFIX "/lib/qxfw";
}

std::string WindowsFolder() {
  if (std::string v = Env("QXFW_WINDOWS_DIR"); !v.empty()) return v;
  if (std::string v = Env("XDG_STATE_HOME"); !v.empty()) return v + "/qxfw";
  return HomeFolder() + "/.local/state/qxfw";
}

std::string CacheFolder() {
  if (std::string v = Env("XDG_CACHE_HOME"); !v.empty()) return v + "/qxfw";
  return HomeFolder() + "/.cache/qxfw";
}

bool EnsureCacheFolder() {
  std::string folder = CacheFolder();
  std::string parent = folder.substr(0, folder.rfind('/'));
  return EnsureFolder(parent) && EnsureFolder(folder);
}

std::string TempFolder() {
  if (std::string v = Env("TMPDIR"); !v.empty()) return v;
  return "/tmp";
}

std::string ProgramFilesFolder() {
  return QXFW_INSTALL_PREFIX "/lib";
}

bool EnsureFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0) return true;
  struct stat st {};
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ProductFolder(const char* leaf) {
  std::string base = AppDataFolder();
  if (base.empty()) base = SystemFolder();
  if (base.empty()) return {};
  // The application-data folder itself may not exist yet on a fresh account.
  for (size_t pos = base.find('/', 1); pos != std::string::npos; pos = base.find('/', pos + 1)) {
    EnsureFolder(base.substr(0, pos));
  }
  EnsureFolder(base);
  std::string folder = base + "/QOLTEX";
  EnsureFolder(folder);
  folder += "/";
  folder += leaf;
  EnsureFolder(folder);
  return folder;
}

}  // namespace qxfw::platform
