#include "setup/uninstall_entry.h"

#include "platform/debug_output.h"
#include "platform/registry_store.h"

namespace qxfw::setup {

using platform::RegKey;
using platform::RegRoot;

bool WriteUninstallEntry(const std::string& systemFolder) {
  std::string setup = systemFolder + "/qxfwsetup";
  RegKey key;
  long result = key.Create(RegRoot::kLocalMachine, kUninstallKey, platform::kKeyAllAccess);
  if (result == platform::kErrorSuccess) {
    result = key.SetString("DisplayName", "Talvoran Firewall");
    if (result == platform::kErrorSuccess) result = key.SetString("DisplayIcon", setup);
    if (result == platform::kErrorSuccess)
      result = key.SetString("UninstallString", setup + " /uninstall");
  }
  if (result != platform::kErrorSuccess) {
    platform::DebugOutput("[QXFWSetup] Install: cannot write the uninstall entry (error %ld)",
                          result);
  }
  return result == platform::kErrorSuccess;
}

void DeleteUninstallEntry() {
  for (const char* key : {kUninstallKey, kDistributionUnitKey}) {
    long result = RegKey::DeleteKey(RegRoot::kLocalMachine, key);
    if (result != platform::kErrorSuccess && result != platform::kErrorFileNotFound) {
      platform::DebugOutput("[QXFWSetup] Uninstall: cannot delete %s (error %ld)", key, result);
    }
  }
}

}  // namespace qxfw::setup
