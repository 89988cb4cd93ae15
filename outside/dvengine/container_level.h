// Containers the engine takes apart: archives and compressed files (libarchive) and mail
// files (GMime). One level is one open container; members come out one at a time as bytes in
// memory, within the budget of the top-level scan so that bombs (huge members, huge member
// counts, deep nesting) stay bounded. Type codes and texts: docs/formats/engine-containers.md.
//
// Not thread-safe; one scan at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_io.h"

namespace qxfw::dvengine {

// Container type codes answered by command 11.
enum ContainerType : int {
  kNotContainer = 0,
  kTypeZip = 1,
  kTypeTar = 2,
  kTypeGzip = 3,
  kTypeBzip2 = 4,
  kTypeXz = 5,
  kTypeCpio = 6,  // always opened, at most 32 members
  kTypeAr = 7,    // always opened, at most 32 members
  kTypeMail = 8,  // opened when mail scanning is on
  kTypeCab = 9,   // always opened, at most 32 members
  kType7z = 12,
  kTypeRar = 14,
};

// The container type of data starting with these bytes (at most the first 4 KiB matter).
int SniffContainer(const uint8_t* head, size_t size);
// Upper-case text of a type ("ZIP", "MAIL", ...), at most 28 characters.
const char* ContainerTypeText(int type);

// Limits of one top-level scan, shared by all its levels.
struct ScanBudget {
  static constexpr uint64_t kMaxMemberBytes = 100ull << 20;
  static constexpr uint64_t kMaxTotalBytes = 1ull << 30;
  static constexpr uint32_t kMaxMembers = 10000;
  static constexpr int kMaxLevels = 16;
  uint64_t bytesLeft = kMaxTotalBytes;
  uint32_t membersLeft = kMaxMembers;
};

class ContainerLevel {
 public:
  enum class Next { kMember, kEnd, kError };
  virtual ~ContainerLevel() = default;
  // False when the container cannot be read at all.
  virtual bool Open() = 0;
  // The next member with its name and bytes; kEnd also when the budget is spent.
  virtual Next NextMember(std::string* name, std::vector<uint8_t>* data) = 0;
};

// A container in a file read through the host table, or in memory (a member of an outer one).
std::unique_ptr<ContainerLevel> OpenFileLevel(int type, const HostIo& io, const std::string& path,
                                              ScanBudget& budget);
std::unique_ptr<ContainerLevel> OpenMemoryLevel(int type, std::vector<uint8_t> data,
                                                ScanBudget& budget);

}  // namespace qxfw::dvengine
