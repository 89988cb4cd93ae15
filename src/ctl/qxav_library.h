// libqxav.so as qxfwctl uses it: loaded by name from the antivirus folder, as the firewall
// program loads it, with its exports bound by name (a missing one stays null).
#pragma once

#include <string>

#include "avlib/qxav.h"

namespace qxfw::ctl {

class QxavLibrary {
 public:
  // Loads "<folder>/libqxav.so"; throws CommandFailed when it cannot be loaded.
  explicit QxavLibrary(const std::string& folder);
  ~QxavLibrary();
  QxavLibrary(const QxavLibrary&) = delete;
  QxavLibrary& operator=(const QxavLibrary&) = delete;

  // Throws CommandFailed naming the export when it is missing.
  void Require(const void* function, const char* name) const;

  decltype(&::InitEngine) InitEngine = nullptr;
  decltype(&::GetEngineInfo) GetEngineInfo = nullptr;
  decltype(&::ShutdownEngine) ShutdownEngine = nullptr;
  decltype(&::ModifySettings) ModifySettings = nullptr;
  decltype(&::FileScan) FileScan = nullptr;
  decltype(&::GetLastVirusName) GetLastVirusName = nullptr;
  decltype(&::GetCurObjectName) GetCurObjectName = nullptr;
  decltype(&::SetDVSourceDir) SetDVSourceDir = nullptr;
  decltype(&::DefineQuarantine) DefineQuarantine = nullptr;
  decltype(&::FileToQuarantine) FileToQuarantine = nullptr;
  decltype(&::RestoreFile) RestoreFile = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace qxfw::ctl
