// The table of well-known program paths: the programs the firewall trusts from the start.
//
// The driver channel builds one CAppPaths when it starts, registers an allow rule for every
// slot but the program's own path (skipping empty slots and missing files), and destroys it.
// All slots are filled by the constructor from the registry store and the running system; a
// value that cannot be read leaves its slot empty. Immutable after construction, so it may be
// read from any thread.
#pragma once

#include <cstddef>

#include "shell/program_path.h"

namespace qxfw::shell {

class CAppPaths {
 public:
  static constexpr int kSlotCount = 12;
  static constexpr size_t kSlotSize = kMaxProgramPath + 1;

  enum Slot : int {
    kDefaultBrowser = 0,  // the default web browser
    kSamssImage = 1,      // the local account service's program
    kRpcSsImage = 2,      // the message bus daemon
    kPrintSpooler = 3,    // the print spooler (cupsd)
    kThisProgram = 4,     // this program's own file
    // This product's companion programs: slots 5 to 9 under the program files folder, slots
    // 10 and 11 in the system folder (where $QXFW_SYSTEM_DIR may put them).
    kBrowserCompanion = 5,
    kControlTool = 6,
    kInstaller = 7,
    kFilterDaemon = 8,
    kSpareCompanion = 9,  // no fifth companion program exists: always empty
    kSystemCompanion = 10,
    kSystemControlTool = 11,
  };

  CAppPaths();
  CAppPaths(const CAppPaths&) = delete;
  CAppPaths& operator=(const CAppPaths&) = delete;

  // The path of slot index (zero-terminated, at most kMaxProgramPath bytes); "" for an empty
  // slot or an index outside 0 to 11.
  const char* Path(int index) const;

  const char* DefaultBrowser() const { return m_paths[kDefaultBrowser]; }
  const char* SamssImage() const { return m_paths[kSamssImage]; }
  const char* RpcSsImage() const { return m_paths[kRpcSsImage]; }
  const char* PrintSpooler() const { return m_paths[kPrintSpooler]; }
  const char* ThisProgram() const { return m_paths[kThisProgram]; }
  const char* BrowserCompanion() const { return m_paths[kBrowserCompanion]; }
  const char* ControlTool() const { return m_paths[kControlTool]; }
  const char* Installer() const { return m_paths[kInstaller]; }
  const char* FilterDaemon() const { return m_paths[kFilterDaemon]; }
  const char* SpareCompanion() const { return m_paths[kSpareCompanion]; }
  const char* SystemCompanion() const { return m_paths[kSystemCompanion]; }
  const char* SystemControlTool() const { return m_paths[kSystemControlTool]; }

 private:
  void FillDefaultBrowser();
  void FillServiceImage(Slot slot, const char* service);
  void FillPrintSpooler();
  void FillThisProgram();
  void FillCompanions();
  // Stores path in slot; a path longer than a slot leaves it empty, since a cut path would
  // name another file.
  void Store(Slot slot, const std::string& path);

  char m_paths[kSlotCount][kSlotSize] = {};
};

static_assert(sizeof(CAppPaths) == 12 * 261, "the table is twelve 261-byte slots");

}  // namespace qxfw::shell
