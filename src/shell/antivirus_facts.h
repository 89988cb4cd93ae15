// What the antivirus folder tells about the scanner without starting it: whether the library
// and the engine are installed, how many signature databases are usable, the signature version
// and the date of the newest signatures.
//
// The version is the one the last signature update recorded ("dvupdate.ini", "High.Low"), else
// the highest database version of the headers. The date is the newest modification time of the
// databases; for a database that names a folder of ClamAV databases in place, the newest file
// of that folder counts. Reads files only (a few headers and directory entries); any thread,
// but meant for a worker: the folder may sit on a slow disk.
#pragma once

#include <cstdint>
#include <string>

namespace qxfw::shell {

struct AntiVirusFacts {
  bool library = false;  // libqxav.so
  bool engine = false;   // libdvengine32.so
  uint32_t databases = 0;
  std::string version;  // empty: unknown
  int64_t date = 0;     // seconds since the epoch; 0: unknown
  bool operator==(const AntiVirusFacts&) const = default;
};

// folder: the antivirus folder (no trailing "/").
AntiVirusFacts GatherAntiVirusFacts(const std::string& folder);

}  // namespace qxfw::shell
