// Constants and slot layout of the rule data file "QLFW.dat" and its change journal
// "QLFW.log". The byte grammar is written up in docs/formats/rule_data_file.md.
//
// Both files are arrays of 816-byte slots, each encrypted on its own with AES-128 in ECB mode.
// Slot 0 is the file header; slots 1 and up hold records behind a 32-byte slot header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/system_time.h"
#include "store/rule_records.h"

namespace qxfw::store {

constexpr size_t kSlotSize = 816;
constexpr size_t kSlotHeaderSize = 32;
constexpr size_t kSlotPayloadSize = kSlotSize - kSlotHeaderSize;  // 784
constexpr size_t kCipherBlock = 16;
static_assert(kSlotSize % kCipherBlock == 0);

// The 16 raw key bytes: six letters, two zero bytes, eight letters.
constexpr char kRuleFileKey[16] = {'P', 'a', 'r', 'd', 'i', 'x', '\0', '\0',
                                   'T', 'a', 'b', 'l', 'e', 'K', 'e',  'y'};

enum SlotKind : uint32_t {
  kKindHeader = 1,
  kKindProgram = 2,
  kKindPortIp = 4,
  kKindSharedFolder = 16,
  kKindPolicyTable = 32,
};

enum SlotState : uint32_t { kStateLive = 1, kStateDeleted = 8 };

enum SlotOperation : uint32_t {
  kOpRuleFile = 1,
  kOpAdded = 2,
  kOpDeleted = 3,
  kOpModified = 4,
};

constexpr char kHeaderText[38] = "Qoltex Firewall for Windows Data File";
static_assert(sizeof(kHeaderText) == 38);

constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kMaxFormatVersion = 256;
constexpr uint32_t kDefaultSecurityLevel = 3;

#pragma pack(push, 1)

struct tagSLOT_HEADER {
  uint32_t slotNumber;  // rule file: the slot's index; journal: the entry's sequence number
  uint32_t kind;
  uint32_t state;
  uint32_t operation;
  platform::SYSTEMTIME time;
};

// Slot 0 of both files.
struct tagFILE_HEADER {
  tagSLOT_HEADER slot;     // 0, kKindHeader, 1, 0, creation time
  uint32_t version;        // 32: at most 256
  uint32_t slotSize;       // 36: at most 816
  uint32_t recordCounter;  // 40: rule file: live records; journal: latest sequence number
  char text[38];           // 44: kHeaderText
  uint8_t zero1[26];       // 82
  uint32_t securityLevel;  // 108: rule file only
  uint8_t zero2[704];      // 112
};

struct tagSLOT {
  tagSLOT_HEADER header;
  uint8_t payload[kSlotPayloadSize];
};

#pragma pack(pop)

static_assert(sizeof(tagSLOT_HEADER) == 32);
static_assert(sizeof(tagFILE_HEADER) == kSlotSize);
static_assert(offsetof(tagFILE_HEADER, version) == 32);
static_assert(offsetof(tagFILE_HEADER, slotSize) == 36);
static_assert(offsetof(tagFILE_HEADER, recordCounter) == 40);
static_assert(offsetof(tagFILE_HEADER, text) == 44);
static_assert(offsetof(tagFILE_HEADER, zero1) == 82);
static_assert(offsetof(tagFILE_HEADER, securityLevel) == 108);
static_assert(offsetof(tagFILE_HEADER, zero2) == 112);
static_assert(sizeof(tagSLOT) == kSlotSize);

// Payload bytes of a kind (0 for kinds without a payload).
constexpr size_t PayloadSizeOf(uint32_t kind) {
  switch (kind) {
    case kKindProgram:
      return sizeof(tagFIREWALL_PROGRAM);
    case kKindPortIp:
      return sizeof(tagFIREWALL_PORTIP);
    case kKindSharedFolder:
      return sizeof(tagFIREWALL_SHARED_FOLDER);
    case kKindPolicyTable:
      return sizeof(tagPOLICY_TABLE);
    default:
      return 0;
  }
}

}  // namespace qxfw::store
