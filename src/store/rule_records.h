// The rule records: fixed-size plain structures stored byte for byte in the rule data file,
// copied whole by the decision, the prompt and the rule views.
//
// Their layout is a file format (docs/formats/rule_data_file.md): little-endian integers,
// zero-terminated texts in fixed buffers, reserved bytes zero. Addresses are host-order u32
// with the first dotted number in the most significant byte; 0 means "no address condition",
// a port of 0 "no port condition". Free functions here are stateless; IsValidProgram writes
// one byte of its argument. Not synchronised: records are values owned by their caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxfw::store {

#pragma pack(push, 1)

// A rule for one program, found by its path.
struct tagFIREWALL_PROGRAM {
  int16_t action;  // 0 block, 1 allow, 2 the program's policy table decides
  uint8_t reserved[2];
  int32_t policySlot;  // slot of the policy table when action is 2, else 0 (set by the store)
  char path[264];      // only 259 characters count: checks write a zero at offset 268
};

// A rule for a range of remote addresses and/or ports.
struct tagFIREWALL_PORTIP {
  int16_t action;  // 1 allow, 0 block
  uint16_t beginPort;
  uint16_t endPort;
  uint8_t reserved[2];
  uint32_t beginIp;
  uint32_t endIp;
  uint16_t protocol;  // 1 TCP, 2 UDP, 4 all (address-only rules)
  char description[256];
  uint16_t portType;  // 1 user defined, 2 system, 3 hacking tool, 4 address-only (blank)
};

// One entry of a program's policy.
struct tagPOLICY {
  uint16_t action;  // 1 allow, anything else block
  uint8_t reserved1[2];
  uint32_t beginIp;
  uint32_t endIp;
  uint16_t beginPort;
  uint16_t endPort;
  uint16_t protocol;  // 1 TCP, 2 UDP; 0 without a port range
  uint8_t reserved2[2];
};

constexpr uint32_t kMaxPolicyEntries = 32;

// The policy of one program: entries 0..count-1 in the order they were added.
struct tagPOLICY_TABLE {
  uint32_t count;
  tagPOLICY entries[kMaxPolicyEntries];
  uint8_t reserved[4];
};

// One shared folder of the machine. The store relies only on the share name, the key.
struct tagFIREWALL_SHARED_FOLDER {
  uint16_t action;       // the enumeration sets 1
  uint8_t reserved1[6];  // zero
  char shareName[262];   // zero-terminated; the key
  char path[512];        // zero-terminated local path of the shared folder
  uint8_t reserved2[2];  // zero
};

#pragma pack(pop)

static_assert(sizeof(tagFIREWALL_PROGRAM) == 272);
static_assert(offsetof(tagFIREWALL_PROGRAM, policySlot) == 4);
static_assert(offsetof(tagFIREWALL_PROGRAM, path) == 8);
static_assert(sizeof(tagFIREWALL_PORTIP) == 276);
static_assert(offsetof(tagFIREWALL_PORTIP, beginPort) == 2);
static_assert(offsetof(tagFIREWALL_PORTIP, endPort) == 4);
static_assert(offsetof(tagFIREWALL_PORTIP, beginIp) == 8);
static_assert(offsetof(tagFIREWALL_PORTIP, endIp) == 12);
static_assert(offsetof(tagFIREWALL_PORTIP, protocol) == 16);
static_assert(offsetof(tagFIREWALL_PORTIP, description) == 18);
static_assert(offsetof(tagFIREWALL_PORTIP, portType) == 274);
static_assert(sizeof(tagPOLICY) == 20);
static_assert(offsetof(tagPOLICY, beginIp) == 4);
static_assert(offsetof(tagPOLICY, endIp) == 8);
static_assert(offsetof(tagPOLICY, beginPort) == 12);
static_assert(offsetof(tagPOLICY, endPort) == 14);
static_assert(offsetof(tagPOLICY, protocol) == 16);
static_assert(sizeof(tagPOLICY_TABLE) == 648);
static_assert(offsetof(tagPOLICY_TABLE, entries) == 4);
static_assert(offsetof(tagPOLICY_TABLE, reserved) == 644);
static_assert(sizeof(tagFIREWALL_SHARED_FOLDER) == 784);
static_assert(offsetof(tagFIREWALL_SHARED_FOLDER, shareName) == 8);
static_assert(offsetof(tagFIREWALL_SHARED_FOLDER, path) == 270);
static_assert(offsetof(tagFIREWALL_SHARED_FOLDER, reserved2) == 782);

// Codes of the records.
enum : int16_t { kActionBlock = 0, kActionAllow = 1, kActionPolicy = 2 };
enum : uint16_t { kProtocolTcp = 1, kProtocolUdp = 2, kProtocolAll = 4 };
enum : uint16_t {
  kPortTypeUser = 1,
  kPortTypeSystem = 2,
  kPortTypeHackingTool = 3,
  kPortTypeAddressOnly = 4
};

// Number of path bytes that count; checks cut the path here.
constexpr size_t kProgramPathLimit = 259;

// Validity checks used before every add, delete and modify.
bool IsValidProgram(tagFIREWALL_PROGRAM& program);  // cuts the path to 259 characters
bool IsValidPortIp(const tagFIREWALL_PORTIP& rule);
bool IsValidPolicyTable(const tagPOLICY_TABLE& table);

// Zero the reserved bytes and every byte after each text's terminator, so what is written
// to the file never carries leftovers of the caller's memory.
void ClearUnusedBytes(tagFIREWALL_PROGRAM& program);
void ClearUnusedBytes(tagFIREWALL_PORTIP& rule);
void ClearUnusedBytes(tagPOLICY_TABLE& table);
void ClearUnusedBytes(tagFIREWALL_SHARED_FOLDER& folder);

// Keys: programs by path (case-insensitive), IP/port rules by protocol, ports and addresses,
// shared folders by name (case-insensitive).
bool SameProgramKey(const tagFIREWALL_PROGRAM& a, const tagFIREWALL_PROGRAM& b);
bool SamePortIpKey(const tagFIREWALL_PORTIP& a, const tagFIREWALL_PORTIP& b);
bool SameSharedFolderKey(const tagFIREWALL_SHARED_FOLDER& a, const tagFIREWALL_SHARED_FOLDER& b);

// Policy-table editing. AddPolicyEntry fails with the thread's last error set to 5 (access
// denied, platform/last_error.h) when the table is full, and on a conflict; ModifyPolicyEntry
// fails when no entry equals old or the replacement conflicts. DeletePolicyEntry removes the
// entry equal to the given one (by action, addresses, ports and protocol), if any.
bool AddPolicyEntry(tagPOLICY_TABLE& table, const tagPOLICY& entry);
bool ModifyPolicyEntry(tagPOLICY_TABLE& table, const tagPOLICY& oldEntry,
                       const tagPOLICY& newEntry);
void DeletePolicyEntry(tagPOLICY_TABLE& table, const tagPOLICY& entry);
bool SamePolicyEntry(const tagPOLICY& a, const tagPOLICY& b);

}  // namespace qxfw::store
