// The record of this user's last finished virus scan: written by whatever ran the scan
// (qxfwctl scan, the program), read by the home page of the program.
//
// It is a small text file, "LastScan.ini" in the user's antivirus folder, replaced whole (the
// new record is written beside it and renamed over it), so a reader sees the old record or the
// new one, never a mix. Reading checks every field; a damaged file reads as no record. No
// state; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qxfw::shell {

struct LastScanRecord {
  int64_t finished = 0;  // seconds since the epoch
  uint64_t scanned = 0;  // files scanned
  uint64_t infected = 0;
  uint64_t errors = 0;  // files that could not be scanned
  bool operator==(const LastScanRecord&) const = default;
};

// <antivirus folder>/LastScan.ini
std::string LastScanPath();

// False (errno set) when the record cannot be written; the old one then stays.
bool WriteLastScan(const std::string& path, const LastScanRecord& record);
// Empty when there is no record or it is damaged.
std::optional<LastScanRecord> ReadLastScan(const std::string& path);

}  // namespace qxfw::shell
