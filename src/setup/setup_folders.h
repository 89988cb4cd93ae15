// The folders of one installer run, computed at every start before the command is looked at.
//
//   system folder    $QXFW_SYSTEM_DIR, else <prefix>/lib/qxfw: programs, daemon, quarantine
//   data base        $QXFW_APPDATA; else, when working for another user, that user's
//                    ~/.local/share; else the application-data folder of this process; the
//                    system folder when all are empty
//   firewall folder  <data base>/QOLTEX/Firewall     (created, as the user)
//   antivirus folder <data base>/QOLTEX/AntiVirus    (created, as the user)
//   download folder  the machine hive's ActiveX cache value "0"; empty when missing
//   runtime folder   $QXFW_RUNTIME_DIR, else /run/qxfw: the daemon's socket and pid file
#pragma once

#include <string>

#include "setup/setup_user.h"

namespace qxfw::setup {

struct SetupFolders {
  std::string system;
  std::string dataBase;
  std::string firewall;
  std::string antivirus;
  std::string download;
  std::string runtime;
};

// Computes the folders for user. Creating the firewall and antivirus folders is the caller's
// part (CreateUserFolders, run as the user).
SetupFolders ComputeSetupFolders(const SetupUser& user);

// Creates <data base>/QOLTEX/Firewall and .../AntiVirus level by level, mode 0700, never
// through a symbolic link. Returns true when both exist afterwards.
bool CreateUserFolders(const SetupFolders& folders);

}  // namespace qxfw::setup
