// libqxav.so as qxfwctl uses it: loaded by name from the antivirus folder, as the firewall
// program loads it, with its exports bound by name (a missing one stays null).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "avlib/qxav.h"

namespace qxfw::ctl {

class QxavLibrary {
 public:
  // Loads "<folder>/libqxav.so"; throws NotInstalled when there is no such file and
  // CommandFailed when it cannot be loaded.
  explicit QxavLibrary(const std::string& folder);
  ~QxavLibrary();
  QxavLibrary(const QxavLibrary&) = delete;
  QxavLibrary& operator=(const QxavLibrary&) = delete;

  // Throws CommandFailed naming the export when it is missing.
  void Require(const void* function, const char* name) const;

  struct ScanOutcome {
    int32_t result = -1;    // FileScan's result
    int32_t virusType = 0;  // GetLastVirusName's result
    std::string object;     // GetCurObjectName's text
    std::string virus;      // GetLastVirusName's text
    std::string report;     // the report file, for a container with reported members
  };
  // FileScan and every call that reads its results, under one lock: the library keeps one
  // set of results per process, so another caller's scan must not run in between.
  // REQUIRES: FileScan, GetCurObjectName and GetLastVirusName are bound.
  ScanOutcome Scan(const std::string& path, int32_t mode, const std::string& reportPath);

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
  decltype(&::FileUpdate) FileUpdate = nullptr;
  decltype(&::FileUpdateBasic) FileUpdateBasic = nullptr;

 private:
  void* handle_ = nullptr;
  std::mutex scanLock_;
};

}  // namespace qxfw::ctl
