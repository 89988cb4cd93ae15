#include "setup/setup_app.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "avlib/vdb_header.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/registry_store.h"
#include "setup/installed_file.h"
#include "setup/running_program.h"
#include "setup/uninstall_entry.h"

#ifndef QXFW_INSTALLED_SYSTEM_DIR
#define QXFW_INSTALLED_SYSTEM_DIR "/usr/local/lib/qxfw"
#endif
#ifndef QXFW_POLKIT_ACTION_FILE
#define QXFW_POLKIT_ACTION_FILE "/usr/share/polkit-1/actions/com.qoltex.qxfwsetup.policy"
#endif

extern char** environ;

namespace qxfw::setup {
namespace {

constexpr char kUnitFolderMark[] = "@QXFW_SYSTEM_DIR@";

void DeleteByPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  DeleteInstalledFile(path.substr(0, slash), path.substr(slash + 1));
}

}  // namespace

CSetupApp::CSetupApp(const CSetupResources& resources, CSetupMessageBox& box, SetupUser user,
                     ServiceFactory services)
    : resources_(resources), box_(box), user_(std::move(user)), services_(std::move(services)) {}

int CSetupApp::Run(SetupCommand command) {
  folders_ = ComputeSetupFolders(user_);
  RunAsUser(user_, [this] { return CreateUserFolders(folders_) ? 0 : 1; });
  if (folders_.download.empty()) {
    platform::DebugOutput("[QXFWSetup] Start: no download folder, its steps are skipped");
  }
  switch (command) {
    case SetupCommand::kInstall:
      return Install();
    case SetupCommand::kUninstall:
      return Uninstall();
    case SetupCommand::kStartDriver:
      StartDriver();
      return 0;
    case SetupCommand::kStopDriver:
      StopDriver();
      return 0;
    case SetupCommand::kNone:
      break;
  }
  return 0;
}

void CSetupApp::WriteUserResource(int id, const char* name, mode_t mode, WriteMode how) {
  std::optional<std::string_view> bytes = resources_.Find(id);
  if (!bytes) {
    platform::DebugOutput("[QXFWSetup] WriteResource: resource %d is not carried, %s not written",
                          id, name);
    return;
  }
  bool antivirus = id == kResAntivirusLibrary || id == kResScanEngine || id == kResOwnDatabase;
  const std::string& folder = antivirus ? folders_.antivirus : folders_.firewall;
  RunAsUser(user_, [&] { return WriteInstalledFile(folder, name, *bytes, mode, how) ? 0 : 1; });
}

void CSetupApp::DeleteUserFile(const std::string& folder, const char* name) {
  RunAsUser(user_, [&] { return DeleteInstalledFile(folder, name) ? 0 : 1; });
}

int CSetupApp::Install() {
  if (!AskWhileProgramRuns(user_, QuestionText::kInstall, box_)) return 1;
  // The program writes "UserOpts.ini" when it ends, so it is ended before that file goes.
  EndRunningProgram(folders_.system, user_.uid);
  WriteUserResource(kResInitialRules, "QLFW.dat", 0600, WriteMode::kOnlyWhenMissing);
  WriteUserResource(kResFirewallIni, "Firewall.ini", 0644, WriteMode::kReplace);
  DeleteUserFile(folders_.antivirus, "dvupdate.ini");
  DeleteUserFile(folders_.antivirus, "libqxav.so");
  if (!FileExists(folders_.antivirus + "/libqxav.so")) {
    WriteUserResource(kResAntivirusLibrary, "libqxav.so", 0755, WriteMode::kReplace);
  }
  InstallScanEngine();
  DeleteUserFile(folders_.firewall, "UserOpts.ini");
  WriteUninstallEntry(folders_.system);
  PrepareQuarantine();
  OfferAutostart();
  return 0;
}

void CSetupApp::InstallScanEngine() {
  // The library finds its engine and databases in the antivirus folder; until the first
  // signature update they are the engine and the small database this installer carries.
  WriteUserResource(kResScanEngine, "libdvengine32.so", 0755, WriteMode::kReplace);
  WriteUserResource(kResOwnDatabase, "qxfw.vdb", 0644, WriteMode::kReplace);
  // The machine's ClamAV databases are used in place, through a pointer database; the engine
  // skips it while that folder holds nothing it can load.
  const std::string machineDatabases = "/var/lib/clamav";
  std::vector<uint8_t> header =
      avlib::BuildVdbHeader("dir", "clamav", 1, 50, uint32_t(machineDatabases.size()));
  std::string bytes(header.begin(), header.end());
  bytes += machineDatabases;
  RunAsUser(user_, [&] {
    return WriteInstalledFile(folders_.antivirus, "clamav.vdb", bytes, 0644) ? 0 : 1;
  });
}

void CSetupApp::OfferAutostart() {
  std::string config = std::getenv("XDG_CONFIG_HOME") != nullptr && !user_.switchNeeded
                           ? std::string(std::getenv("XDG_CONFIG_HOME"))
                           : user_.home + "/.config";
  std::string folder = config + "/autostart";
  if (FileExists(folder + "/qxfw.desktop")) return;
  if (box_.Ask(kProductCaption, AutostartQuestionText(), BoxButtons::kYesNo) != BoxAnswer::kYes) {
    return;
  }
  std::string entry =
      "[Desktop Entry]\nType=Application\nName=Talvoran Firewall\nExec=" + folders_.system +
      "/qxfw\nIcon=qxfw\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  RunAsUser(user_, [&] {
    bool made = (mkdir(config.c_str(), 0700) == 0 || errno == EEXIST) &&
                (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) &&
                WriteInstalledFile(folder, "qxfw.desktop", entry, 0644);
    return made ? 0 : 1;
  });
}

DaemonPlace CSetupApp::Daemon() const {
  DaemonPlace place;
  place.program = folders_.system + "/qltdifw";
  place.runtime = folders_.runtime;
  if (std::optional<std::string_view> unit = resources_.Find(kResDaemonUnit)) {
    place.unitText = std::string(*unit);
    for (size_t at; (at = place.unitText.find(kUnitFolderMark)) != std::string::npos;) {
      place.unitText.replace(at, sizeof(kUnitFolderMark) - 1, folders_.system);
    }
  }
  return place;
}

void CSetupApp::StartDriver() {
  if (getuid() != 0) {
    RunElevated("/StartDriver");
    return;
  }
  WriteUserResource(kResFirewallIni, "Firewall.ini", 0644, WriteMode::kReplace);
  if (std::optional<std::string_view> daemon = resources_.Find(kResDaemon)) {
    WriteInstalledFile(folders_.system, "qltdifw", *daemon, 0755);
  } else {
    platform::DebugOutput(
        "[QXFWSetup] StartDriver: the daemon is not carried, qltdifw not written");
  }
  PrepareQuarantine();
  if (!services_(Daemon())->Start(user_.uid)) {
    platform::DebugOutput("[QXFWSetup] StartDriver: qltdifw could not be started");
  }
}

void CSetupApp::StopDriver() {
  if (getuid() != 0) {
    RunElevated("/StopDriver");
    return;
  }
  services_(Daemon())->Stop();
}

int CSetupApp::Uninstall() {
  if (!AskWhileProgramRuns(user_, QuestionText::kRemoval, box_)) return 0;
  EndRunningProgram(folders_.system, user_.uid);
  RemoveCompanion();
  // The daemon goes before its program file: a deleted but running daemon would keep holding
  // connections with nobody left to answer, and its queue rules would stay.
  if (getuid() == 0) {
    services_(Daemon())->Remove();
    // The action names the installed program only; a test or build-tree folder has none.
    if (folders_.system == QXFW_INSTALLED_SYSTEM_DIR) DeleteByPath(QXFW_POLKIT_ACTION_FILE);
  } else {
    platform::DebugOutput("[QXFWSetup] Uninstall: not root, the daemon and its unit stay");
  }
  DeleteUninstallEntry();
  if (!folders_.download.empty()) {
    DeleteInstalledFile(folders_.download, "QXFW.dll");
    DeleteInstalledFile(folders_.download, "QXFW.inf");
  }
  for (const char* name : {"qxfwsetup", "qxfwsetup-ask", "qxfw", "qltdifw"}) {
    DeleteInstalledFile(folders_.system, name);
  }
  return 0;
}

void CSetupApp::RemoveCompanion() {
  // The companion's registration names a library by a path from the registry; loading that as
  // root would run whatever the path names, so it is only forgotten.
  platform::DebugOutput(
      "[QXFWSetup] Uninstall: the companion library is not loaded, its registration is removed");
  long result = platform::RegKey::DeleteKey(platform::RegRoot::kLocalMachine, kCompanionClassKey);
  if (result != platform::kErrorSuccess && result != platform::kErrorFileNotFound) {
    platform::DebugOutput(
        "[QXFWSetup] Uninstall: cannot delete the companion class key (error %ld)", result);
  }
}

void CSetupApp::PrepareQuarantine() {
  // "quarantine" is shared by the users of the machine; each gets a private folder in it.
  std::string shared = folders_.system + "/quarantine";
  if (mkdir(shared.c_str(), 0711) != 0 && errno != EEXIST) {
    platform::DebugOutput("[QXFWSetup] Quarantine: cannot create %s (%s)", shared.c_str(),
                          std::strerror(errno));
    return;
  }
  platform::UniqueFd base(open(shared.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!base.Valid()) {
    platform::DebugOutput("[QXFWSetup] Quarantine: %s is not a folder", shared.c_str());
    return;
  }
  std::string mine = std::to_string(user_.uid);
  if (mkdirat(base.Get(), mine.c_str(), 0700) != 0 && errno != EEXIST) {
    platform::DebugOutput("[QXFWSetup] Quarantine: cannot create %s/%s (%s)", shared.c_str(),
                          mine.c_str(), std::strerror(errno));
    return;
  }
  platform::UniqueFd own(
      openat(base.Get(), mine.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  bool fixed = own.Valid() && fchmod(own.Get(), 0700) == 0;
  if (fixed && getuid() == 0) fixed = fchown(own.Get(), user_.uid, user_.gid) == 0;
  if (!fixed) {
    platform::DebugOutput("[QXFWSetup] Quarantine: %s/%s is not a private folder", shared.c_str(),
                          mine.c_str());
  }
}

bool CSetupApp::RunElevated(const char* switchText) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  const char* pkexec = "/usr/bin/pkexec";
  if (n <= 0 || access(pkexec, X_OK) != 0) {
    platform::DebugOutput("[QXFWSetup] %s needs root and pkexec is not there", switchText);
    return false;
  }
  self[n] = '\0';
  const char* argv[] = {pkexec, self, switchText, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, pkexec, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    platform::DebugOutput("[QXFWSetup] %s: pkexec could not be started", switchText);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    platform::DebugOutput("[QXFWSetup] %s through pkexec failed (status %d)", switchText, status);
  }
  return true;
}

}  // namespace qxfw::setup
