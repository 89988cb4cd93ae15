// What the scans saw, so that a quarantine after a scan moves the file that was scanned and
// not whatever its path names by then (a folder of the path may have been swapped for a link
// in between). One per process (Get()).
//
// A scan opens its file once (Begin), the engine reads that descriptor whenever it opens the
// scanned path (Reopen), and after the scan the file stays held if it was found infected (End).
// Earlier infected files are remembered by the device and inode of the file and its folder.
// FileToQuarantine asks Take for the path it is given.
//
// Threads: Begin, Reopen and End run under the scan lock; Take may run without it (a direct
// FileToQuarantine), so the record has its own lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "avlib/quarantine_source.h"

namespace qxfw::avlib {

class CScannedFiles {
 public:
  // Infected files remembered by identity beyond the one held open.
  static constexpr size_t kRemembered = 4096;

  static CScannedFiles& Get();

  // Opens path for a scan (its folder as the path stands now, then the file, a link at the
  // end followed). False with errno set when it cannot be opened.
  bool Begin(const std::string& path);

  // True when path is the path being scanned and mode is 0 (read): *fd is then a new
  // descriptor of the scanned file (-1 when none could be made). False: the caller opens path.
  bool Reopen(const char* path, intptr_t mode, int* fd) const;

  // Ends the scan that Begin started: an infected file stays held and is remembered; a clean
  // one is let go.
  void End(bool infected);

  enum class Lookup {
    kUnknown,  // path was not found infected by a scan of this process
    kHeld,     // source holds the scanned file
    kChanged,  // the path no longer leads to the file that was scanned
  };
  // The scanned file for a quarantine of path. The held file of the last scan is handed over;
  // an earlier one is opened again and kept only if its folder and the file are the ones
  // scanned. A path is taken once.
  Lookup Take(const std::string& path, QuarantineSource* source);

 private:
  struct Identity {
    dev_t dev;
    ino_t ino;
    dev_t folderDev;
    ino_t folderIno;
  };

  CScannedFiles() = default;
  void Remember(const std::string& path, const Identity& identity);

  mutable std::mutex lock_;
  std::string scanning_;      // path of the open scan ("" when none)
  QuarantineSource current_;  // the file of the open scan
  std::string heldPath_;      // path of source_ ("" when nothing is held)
  QuarantineSource source_;
  std::map<std::string, Identity> seen_;
  std::deque<std::string> order_;  // paths of seen_, oldest first
};

}  // namespace qxfw::avlib
