// The signature databases of an engine folder: every "*.vdb" regular file whose header is
// valid (vdb_header.h), ordered by priority B, highest first; files of equal priority keep
// name order. Thread-safe (no state).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxfw::avlib {

struct DatabaseEntry {
  std::string path;
  uint16_t version = 0;   // A
  uint16_t priority = 0;  // B
};

// folder ends in "/". Unreadable files and files with a bad header are skipped.
std::vector<DatabaseEntry> ListDatabases(const std::string& folder);

}  // namespace qxfw::avlib
