// Well-known folders of the product, from the environment.
//
// Each folder has an environment override so tests and packagers can move it:
//   application data  $QXFW_APPDATA, else $XDG_DATA_HOME, else ~/.local/share
//   system folder     $QXFW_SYSTEM_DIR, else <prefix>/lib/qxfw (installed programs, quarantine)
//   Windows folder    $QXFW_WINDOWS_DIR, else $XDG_STATE_HOME/qxfw, else ~/.local/state/qxfw
//   cache folder      $XDG_CACHE_HOME/qxfw, else ~/.cache/qxfw (results that can be rebuilt)
//   temporary folder  $TMPDIR, else /tmp
//   program files     <prefix>/lib
// The data folder is <appdata>/QOLTEX/Firewall and the antivirus folder
// <appdata>/QOLTEX/AntiVirus. Functions read the environment on every call; thread-safe as
// long as nobody changes the environment concurrently.
#pragma once

#include <string>

namespace qxfw::platform {

std::string AppDataFolder();
std::string SystemFolder();
std::string WindowsFolder();
std::string CacheFolder();
std::string TempFolder();
std::string ProgramFilesFolder();
std::string HomeFolder();

// Builds <appdata>/QOLTEX/<leaf>, creating "QOLTEX" and the leaf when missing (an existing
// folder is not an error). Falls back to the system folder when the application-data folder
// is empty, and returns "" when both are. A folder that cannot be created is still returned:
// opening files in it then fails, as callers expect.
std::string ProductFolder(const char* leaf);
inline std::string FirewallDataFolder() {
  return ProductFolder("Firewall");
}
inline std::string AntiVirusFolder() {
  return ProductFolder("AntiVirus");
}

// Creates one folder level (mode 0700 for private data); true when it exists afterwards.
bool EnsureFolder(const std::string& path);
// Creates the cache folder and its parent when missing; true when it exists afterwards.
bool EnsureCacheFolder();

}  // namespace qxfw::platform
