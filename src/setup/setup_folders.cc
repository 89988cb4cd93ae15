#include "setup/setup_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/registry_store.h"

namespace qxfw::setup {
namespace {

constexpr char kDownloadKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ActiveX Cache";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Creates every missing level of path. Runs with the rights of the user whose folders these
// are, so a link on the way leads nowhere that user could not write anyway.
bool MakeFolders(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  platform::UniqueFd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  size_t pos = 1;
  while (dir.Valid() && pos < path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (mkdirat(dir.Get(), part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    dir = platform::UniqueFd(openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  return dir.Valid();
}

}  // namespace

SetupFolders ComputeSetupFolders(const SetupUser& user) {
  SetupFolders f;
  f.system = platform::SystemFolder();
  f.dataBase = Env("QXFW_APPDATA");
  if (f.dataBase.empty()) {
    f.dataBase = user.switchNeeded
                     ? (user.home.empty() ? std::string() : user.home + "/.local/share")
                     : platform::AppDataFolder();
  }
  if (f.dataBase.empty()) f.dataBase = f.system;
  f.firewall = f.dataBase + "/QOLTEX/Firewall";
  f.antivirus = f.dataBase + "/QOLTEX/AntiVirus";
  char value[262] = {};
  if (platform::RegReadValue(platform::RegRoot::kLocalMachine, kDownloadKey, "0", value,
                             sizeof(value) - 1)) {
    f.download = value;
  }
  f.runtime = Env("QXFW_RUNTIME_DIR");
  if (f.runtime.empty()) f.runtime = "/run/qxfw";
  return f;
}

bool CreateUserFolders(const SetupFolders& folders) {
  bool made = MakeFolders(folders.firewall);
  made = MakeFolders(folders.antivirus) && made;
  if (!made) {
    platform::DebugOutput("[QXFWSetup] CreateUserFolders: cannot create %s or %s (%s)",
                          folders.firewall.c_str(), folders.antivirus.c_str(),
                          std::strerror(errno));
  }
  return made;
}

}  // namespace qxfw::setup
