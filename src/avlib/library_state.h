// Process-wide state of libqxav.so that the scanning half and the service half (quarantine,
// update, repair) share. One instance per process, made on first use, never destroyed before
// the library is unloaded.
//
// Threads: scanLock serialises FileScan; everything FileScan touches (the names, the virus
// type) is written under it. The folders and the basic-update flag are set by exports that
// the host calls while no scan runs; sourceFolder and quarantineBase are still guarded by
// folderLock so a reader never sees a half-written text.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace qxfw::avlib {

class LibraryState {
 public:
  static LibraryState& Get();

  // Serialises FileScan; quarantine moves made through FileScan run while it is held, so the
  // quarantine code must never take it.
  std::mutex scanLock;

  // The folder of SetDVSourceDir, always ending in "/", and whether one was set.
  std::string SourceFolder() const;
  bool SourceFolderSet() const;
  void SetSourceFolder(const std::string& folder);

  // The engine folder: the source folder when set, else the folder of the running program
  // (from /proc/self/exe), always ending in "/".
  std::string EngineFolder() const;
  // The folder of the running program, ending in "/" ("./" when it cannot be found).
  static std::string HostProgramFolder();

  // The base folder of DefineQuarantine ("" when never given).
  std::string QuarantineBase() const;
  void SetQuarantineBase(const std::string& folder);

  // Name and type code of the last reported virus (written under scanLock by the scan; read
  // by GetLastVirusName and by FileScan's quarantine modes as the note).
  std::string LastVirusName() const;
  int32_t LastVirusType() const;
  void SetLastVirus(const std::string& name, int32_t type);
  void ClearLastVirusName();

  // Set by FileUpdateBasic and FileUpdateWithProgressBasic; never cleared.
  std::atomic<int32_t> basicUpdate{0};

 private:
  LibraryState() = default;
  mutable std::mutex folderLock_;
  std::string sourceFolder_;
  bool sourceFolderSet_ = false;
  std::string quarantineBase_;
  mutable std::mutex virusLock_;
  std::string lastVirusName_;
  int32_t lastVirusType_ = 0;
};

}  // namespace qxfw::avlib
