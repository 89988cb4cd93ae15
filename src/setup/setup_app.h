// CSetupApp: one installer run, one command.
//
//   /Install      per-user folders and data files, the uninstall entry
//   /StartDriver  "Firewall.ini", the daemon program and the quarantine folders, then the
//                 daemon started (through pkexec when the caller is not root)
//   /StopDriver   the daemon stopped
//   /Uninstall    the running program ended, the daemon stopped and unregistered, the
//                 registration and the program files removed
// Every failing step is skipped with a debug line and the next one runs. The exit code is 0,
// except 1 when /Install is abandoned at the running-program question.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "setup/driver_service.h"
#include "setup/installed_file.h"
#include "setup/setup_command.h"
#include "setup/setup_folders.h"
#include "setup/setup_message_box.h"
#include "setup/setup_resources.h"
#include "setup/setup_user.h"

namespace qxfw::setup {

class CSetupApp {
 public:
  using ServiceFactory = std::function<std::unique_ptr<CDriverService>(const DaemonPlace&)>;

  CSetupApp(const CSetupResources& resources, CSetupMessageBox& box, SetupUser user,
            ServiceFactory services = MakeDriverService);

  // Computes the folders (creating the user's), then runs command. Returns the exit code.
  int Run(SetupCommand command);

  const SetupFolders& Folders() const { return folders_; }

 private:
  int Install();
  int Uninstall();
  void StartDriver();
  void StopDriver();

  void WriteUserResource(int id, const char* name, mode_t mode, WriteMode how);
  void DeleteUserFile(const std::string& folder, const char* name);
  void PrepareQuarantine();
  // The scanning engine, the product's database and the pointer to the machine's ClamAV
  // databases, in the antivirus folder.
  void InstallScanEngine();
  // Asks whether the program should start at log-in and, on Yes, writes the user's autostart
  // entry; never asked again once the entry exists.
  void OfferAutostart();
  void RemoveCompanion();
  void RemoveRegistration();
  DaemonPlace Daemon() const;
  // Runs this program again through pkexec with the same switch; true when that was possible.
  bool RunElevated(const char* switchText);

  const CSetupResources& resources_;
  CSetupMessageBox& box_;
  SetupUser user_;
  ServiceFactory services_;
  SetupFolders folders_;
};

}  // namespace qxfw::setup
