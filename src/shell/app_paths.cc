#include "shell/app_paths.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/folders.h"
#include "platform/linux_facts.h"
#include "platform/path_text.h"
#include "platform/registry_store.h"

namespace qxfw::shell {
namespace {

constexpr char kBrowserCommandKey[] = "SOFTWARE\\Classes\\HTTP\\shell\\open\\command";
constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kSpoolerUnit[] = "cups.service";
constexpr const char* kSpoolerLocations[] = {"/usr/sbin/cupsd", "/usr/local/sbin/cupsd",
                                             "/sbin/cupsd"};
constexpr std::string_view kDeletedMark = " (deleted)";

// Reads a string value; "" when it cannot be read.
std::string ReadString(platform::RegRoot root, const char* subkey, const char* value) {
  char buffer[kMaxExpandedCommand + 1];
  if (!platform::RegReadValue(root, subkey, value, buffer, sizeof(buffer))) return {};
  buffer[sizeof(buffer) - 1] = '\0';
  return buffer;
}

}  // namespace

CAppPaths::CAppPaths() {
  FillDefaultBrowser();
  FillServiceImage(kSamssImage, "Samss");
  FillServiceImage(kRpcSsImage, "RpcSs");
  FillPrintSpooler();
  FillThisProgram();
  FillCompanions();
}

const char* CAppPaths::Path(int index) const {
  if (index < 0 || index >= kSlotCount) return "";
  return m_paths[index];
}

void CAppPaths::Store(Slot slot, const std::string& path) {
  if (path.size() > kMaxProgramPath) return;
  std::memcpy(m_paths[slot], path.c_str(), path.size() + 1);
}

void CAppPaths::FillDefaultBrowser() {
  std::string command = ReadString(platform::RegRoot::kCurrentUser, kBrowserCommandKey, "");
  if (command.empty()) {
    command = ReadString(platform::RegRoot::kLocalMachine, kBrowserCommandKey, "");
  }
  if (!command.empty()) Store(kDefaultBrowser, ReduceToProgramPath(command));
}

void CAppPaths::FillServiceImage(Slot slot, const char* service) {
  std::string key = std::string(kServicesKey) + service;
  std::string command = ReadString(platform::RegRoot::kLocalMachine, key.c_str(), "ImagePath");
  if (!command.empty()) Store(slot, ReduceToProgramPath(command));
}

void CAppPaths::FillPrintSpooler() {
  // The spooler's unit says which program runs; the first folder holding the unit decides,
  // as systemd does. Without a unit, cupsd is looked for where distributions put it.
  for (const std::string& folder : platform::SystemdUnitFolders()) {
    std::string text;
    if (!platform::ReadWholeFile(folder + "/" + kSpoolerUnit, &text, 256u << 10)) continue;
    std::string program = platform::UnitExecStartProgram(text);
    if (!program.empty()) Store(kPrintSpooler, ReduceToProgramPath("\"" + program + "\""));
    return;
  }
  for (const char* location : kSpoolerLocations) {
    if (platform::IsExecutableProgram(location)) {
      Store(kPrintSpooler, location);
      return;
    }
  }
}

void CAppPaths::FillThisProgram() {
  char link[4096];
  ssize_t n = ::readlink("/proc/self/exe", link, sizeof(link));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(link)) return;
  std::string_view path(link, static_cast<size_t>(n));
  // A program replaced on disk while it runs still names its old file.
  if (path.ends_with(kDeletedMark)) path.remove_suffix(kDeletedMark.size());
  Store(kThisProgram, std::string(path));
}

void CAppPaths::FillCompanions() {
  std::string programFiles = platform::ProgramFilesFolder();
  if (!programFiles.empty()) {
    std::string base = programFiles + "/qxfw/";
    Store(kBrowserCompanion, base + "qxfw-companion");
    Store(kControlTool, base + "qxfwctl");
    Store(kInstaller, base + "qxfwsetup");
    Store(kFilterDaemon, base + "qltdifw");
  }
  std::string system = platform::SystemFolder();
  if (!system.empty()) {
    Store(kSystemCompanion, system + "/qxfw-companion");
    Store(kSystemControlTool, system + "/qxfwctl");
  }
}

}  // namespace qxfw::shell
