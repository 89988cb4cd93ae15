#include "avlib/vdb_header.h"

#include <cstring>

namespace qxfw::avlib {
namespace {

uint32_t ReadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WriteU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

std::string Field(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool ParseVdbHeader(const uint8_t* data, size_t size, VdbHeader* header) {
  if (data == nullptr || header == nullptr) return false;
  if (size > kVdbHeaderSize) size = kVdbHeaderSize;
  for (size_t at = 0; at + 4 <= size && at <= kVdbHeaderSize - 4; at += 4) {
    if (std::memcmp(data + at, kVdbTag, 4) != 0) continue;
    if (at + kVdbTagSpan > size) return false;
    if (std::memcmp(data + at + kVdbMarkOffset, kVdbMark, 4) != 0) return false;
    const uint8_t* tag = data + at;
    *header = VdbHeader{};
    header->tagOffset = at;
    header->version = uint16_t(tag[kVdbVersionOffset] | tag[kVdbVersionOffset + 1] << 8);
    header->priority = uint16_t(ReadU32(tag + kVdbPriorityOffset) & 0x7FFF);
    header->payloadType = Field(tag + kVdbTypeOffset, 8);
    header->payloadLength = ReadU32(tag + kVdbLengthOffset);
    header->name = Field(tag + kVdbNameOffset, 24);
    return true;
  }
  return false;
}

bool VdbPayloadTypeKnown(const std::string& type) {
  static const char* const kTypes[] = {"hdb", "hsb", "mdb", "msb", "ndb",  "ldb", "cvd",
                                       "cld", "cud", "fp",  "sfp", "ign2", "dir"};
  for (const char* known : kTypes) {
    if (type == known) return true;
  }
  return false;
}

std::vector<uint8_t> BuildVdbHeader(const std::string& payloadType, const std::string& name,
                                    uint16_t version, uint16_t priority, uint32_t payloadLength) {
  std::vector<uint8_t> header(kVdbHeaderSize, 0);
  std::memcpy(header.data(), kVdbTag, 4);
  WriteU32(header.data() + kVdbFormatOffset, kVdbFormat);
  std::memcpy(header.data() + kVdbTypeOffset, payloadType.data(),
              payloadType.size() < 7 ? payloadType.size() : 7);
  WriteU32(header.data() + kVdbLengthOffset, payloadLength);
  std::memcpy(header.data() + kVdbNameOffset, name.data(), name.size() < 23 ? name.size() : 23);
  std::memcpy(header.data() + kVdbMarkOffset, kVdbMark, 4);
  header[kVdbVersionOffset] = uint8_t(version);
  header[kVdbVersionOffset + 1] = uint8_t(version >> 8);
  WriteU32(header.data() + kVdbPriorityOffset, priority & 0x7FFF);
  return header;
}

}  // namespace qxfw::avlib
