// The scan of one file through the engine: the object name stack, the container walk with
// its depth, member and name limits, the report filter and the container report file
// "dvtmp.dv". One per process (Get()).
//
// Threads: Scan takes the library's scan lock for its whole run; the engine's host query
// (HostQuery) is called from inside it. TakeObjectPath and the settings are used by exports
// that the host calls between scans.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "avlib/qxav.h"

namespace qxfw::avlib {

class CFileScanner {
 public:
  static constexpr int kMaxDepth = 64;        // deepest container level that is opened
  static constexpr int kCountedMembers = 32;  // member limit of the counted container types

  static CFileScanner& Get();

  // FileScan: see qxav.h.
  int32_t Scan(const char* path, int32_t mode);

  // Engine host query (host table entry 32).
  intptr_t HostQuery(intptr_t what);

  void SetSettings(const ScanSettings& settings);
  ScanSettings Settings() const;

  // The path of the last object scanned, cleared by the call (GetCurObjectName).
  std::string TakeObjectPath();

 private:
  CFileScanner() = default;
  int32_t ScanOne(const std::string& path);
  intptr_t Walk();
  intptr_t Filter(intptr_t flags);
  void RebuildObjectPath();
  void Report(const char* typeText);

  mutable std::mutex settingsLock_;
  ScanSettings settings_{};
  int32_t mode_ = 0;
  int depth_ = 0;
  std::string names_[kMaxDepth + 1];  // levels 0 to 64; an empty name ends the path
  std::mutex pathLock_;
  std::string objectPath_;
  FILE* report_ = nullptr;
};

}  // namespace qxfw::avlib
