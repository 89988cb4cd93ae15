// Constants of the quarantine file (docs/formats/quarantine_file.md).
//
//   file  = header body
//   header = source-path "|" note [ "|" folder-id ] ";"   (no terminator, at most
//            kMaxHeaderBytes before ";")
//   folder-id = "dir:" 16 hex digits (device) "." 16 hex digits (inode) of the source's folder
//   body  = each source byte b_k (k from 1) stored as (b_k + (k mod 64)) mod 256
#pragma once
#include <cstddef>
#include <cstdint>

namespace qxfw::avlib {

inline constexpr size_t kMaxQuarantineBase = 259;  // DefineQuarantine's folder text
inline constexpr size_t kMaxHeaderBytes = 259;     // bytes a restore reads before the ";"
inline constexpr char kPathNoteSeparator = '|';
inline constexpr char kHeaderEnd = ';';
inline constexpr const char* kQuarantineLeaf = "quarantine";
// The folder-id field closing newer headers; files without it restore with the folder checks
// alone.
inline constexpr const char* kFolderIdTag = "dir:";
inline constexpr size_t kFolderIdDigits = 16;
inline constexpr size_t kFolderIdBytes = 4 + kFolderIdDigits + 1 + kFolderIdDigits;  // no "|"
// Further quarantines in the same millisecond get ".1", ".2", ... after the name.
inline constexpr int kMaxSameNameSuffix = 999;

// The key of the body byte at position k (counted from 1).
constexpr uint8_t QuarantineKey(uint64_t k) {
  return static_cast<uint8_t>(k % 64);
}

}  // namespace qxfw::avlib
