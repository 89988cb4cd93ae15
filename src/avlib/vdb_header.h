// The 512-byte header of a ".vdb" signature database (docs/formats/vdb.md): the library reads
// it to list and order the databases, the engine to find the ClamAV database behind it, the
// wrapping tool writes it. Pure functions over bytes; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxfw::avlib {

inline constexpr size_t kVdbHeaderSize = 512;
inline constexpr char kVdbTag[] = "IDVE";
inline constexpr char kVdbMark[] = "nayk";
inline constexpr size_t kVdbMarkOffset = 44;      // from the tag
inline constexpr size_t kVdbVersionOffset = 68;   // A: u16, from the tag
inline constexpr size_t kVdbPriorityOffset = 70;  // B: u32, low 15 bits, from the tag
inline constexpr size_t kVdbTagSpan = 74;         // bytes from the tag that must be present
inline constexpr size_t kVdbFormatOffset = 4;     // u32 header format, from the tag
inline constexpr size_t kVdbTypeOffset = 8;       // char[8] payload type, from the tag
inline constexpr size_t kVdbLengthOffset = 16;    // u32 payload length, from the tag
inline constexpr size_t kVdbNameOffset = 20;      // char[24] database name, from the tag
inline constexpr uint32_t kVdbFormat = 1;

struct VdbHeader {
  size_t tagOffset = 0;
  uint16_t version = 0;     // A
  uint16_t priority = 0;    // B, 15 bits
  std::string payloadType;  // "hdb", "ndb", "ldb", "cvd", "cld", ... or "dir"
  uint32_t payloadLength = 0;
  std::string name;
};

// Looks for the header in the first bytes of a file (at most 512 are looked at): the tag at
// a 4-byte-aligned offset from 0 to 508 with 74 bytes from it inside data, and the mark 44
// bytes after it. False when no such header is there.
bool ParseVdbHeader(const uint8_t* data, size_t size, VdbHeader* header);

// The payload type and length fields are the engine's; they are valid only when the header
// is complete (tag at 0, 512 bytes) and the type is one of the known texts.
bool VdbPayloadTypeKnown(const std::string& type);

// A 512-byte header with the tag at 0 for a payload of that type and length.
std::vector<uint8_t> BuildVdbHeader(const std::string& payloadType, const std::string& name,
                                    uint16_t version, uint16_t priority, uint32_t payloadLength);

}  // namespace qxfw::avlib
