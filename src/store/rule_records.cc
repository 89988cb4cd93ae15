#include "store/rule_records.h"

#include <cstring>

#include "platform/last_error.h"
#include "platform/text_compare.h"

namespace qxfw::store {
namespace {

constexpr uint32_t kErrorAccessDenied = 5;

// Inclusive ranges [a1, a2] and [b1, b2] overlap when an end of one lies inside the other.
// The first clause is optional because the policy conflict test skips it for entries without
// an address; keeping the four clauses separate preserves that behaviour exactly.
bool RangesOverlap(uint32_t a1, uint32_t a2, uint32_t b1, uint32_t b2, bool testFirstClause) {
  return (testFirstClause && a1 <= b1 && b1 <= a2) || (a1 <= b2 && b2 <= a2) ||
         (b1 <= a1 && a1 <= b2) || (b1 <= a2 && a2 <= b2);
}

bool HasAddress(const tagPOLICY& p) {
  return p.beginIp != 0 || p.endIp != 0;
}
bool HasPorts(const tagPOLICY& p) {
  return p.beginPort != 0 || p.endPort != 0;
}

// True when entry n may join the table, visiting every entry except the one at skip. The
// "address overlap seen" flag lives for the whole scan, so the outcome can depend on the order
// of the existing entries.
bool FitsTable(const tagPOLICY_TABLE& table, const tagPOLICY& n, uint32_t skip) {
  const bool nAddress = HasAddress(n);
  const bool nPorts = HasPorts(n);
  bool addressOverlapSeen = false;
  const uint32_t count = table.count < kMaxPolicyEntries ? table.count : kMaxPolicyEntries;
  for (uint32_t i = 0; i < count; ++i) {
    if (i == skip) continue;
    const tagPOLICY& e = table.entries[i];
    if (RangesOverlap(e.beginIp, e.endIp, n.beginIp, n.endIp, nAddress)) {
      if (!nPorts) return false;
      addressOverlapSeen = true;
    }
    if (nPorts && e.protocol == n.protocol &&
        RangesOverlap(e.beginPort, e.endPort, n.beginPort, n.endPort, true)) {
      if (!nAddress || addressOverlapSeen) return false;
    }
  }
  return true;
}

int FindPolicyEntry(const tagPOLICY_TABLE& table, const tagPOLICY& entry) {
  const uint32_t count = table.count < kMaxPolicyEntries ? table.count : kMaxPolicyEntries;
  for (uint32_t i = 0; i < count; ++i) {
    if (SamePolicyEntry(table.entries[i], entry)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

bool IsValidProgram(tagFIREWALL_PROGRAM& program) {
  program.path[kProgramPathLimit] = '\0';
  return program.path[0] != '\0';
}

bool IsValidPortIp(const tagFIREWALL_PORTIP& rule) {
  const bool hasPorts = rule.beginPort != 0 || rule.endPort != 0;
  const bool portPart =
      hasPorts && rule.beginPort <= rule.endPort && rule.protocol >= 1 && rule.protocol <= 4;
  const bool addressPart = rule.beginIp != 0 || rule.endIp != 0;
  if (!portPart && !addressPart) return false;
  if (rule.action != 0 && rule.action != 1) return false;
  const bool addressOrdered = rule.beginIp <= rule.endIp && addressPart;
  return addressOrdered || hasPorts;
}

bool IsValidPolicyTable(const tagPOLICY_TABLE& table) {
  if (table.count < 1 || table.count > kMaxPolicyEntries) return false;
  for (uint32_t i = 0; i < table.count; ++i) {
    const tagPOLICY& e = table.entries[i];
    const bool address = HasAddress(e);
    const bool ports = HasPorts(e);
    if (!address && !ports) return false;
    if (address && (e.beginIp == 0 || e.beginIp > e.endIp)) return false;
    if (ports &&
        (e.beginPort == 0 || e.beginPort > e.endPort || e.protocol < 1 || e.protocol > 4)) {
      return false;
    }
  }
  return true;
}

bool SameProgramKey(const tagFIREWALL_PROGRAM& a, const tagFIREWALL_PROGRAM& b) {
  return platform::CompareBufferNoCase(a.path, b.path, kProgramPathLimit) == 0;
}

bool SamePortIpKey(const tagFIREWALL_PORTIP& a, const tagFIREWALL_PORTIP& b) {
  return a.protocol == b.protocol && a.beginPort == b.beginPort && a.endPort == b.endPort &&
         a.beginIp == b.beginIp && a.endIp == b.endIp;
}

bool SameSharedFolderKey(const tagFIREWALL_SHARED_FOLDER& a, const tagFIREWALL_SHARED_FOLDER& b) {
  return platform::CompareBufferNoCase(a.shareName, b.shareName, sizeof(a.shareName)) == 0;
}

bool SamePolicyEntry(const tagPOLICY& a, const tagPOLICY& b) {
  return a.action == b.action && a.beginIp == b.beginIp && a.endIp == b.endIp &&
         a.beginPort == b.beginPort && a.endPort == b.endPort && a.protocol == b.protocol;
}

bool AddPolicyEntry(tagPOLICY_TABLE& table, const tagPOLICY& entry) {
  if (table.count >= kMaxPolicyEntries) {
    platform::SetLastError(kErrorAccessDenied);
    return false;
  }
  if (!FitsTable(table, entry, kMaxPolicyEntries)) return false;
  table.entries[table.count++] = entry;
  return true;
}

bool ModifyPolicyEntry(tagPOLICY_TABLE& table, const tagPOLICY& oldEntry,
                       const tagPOLICY& newEntry) {
  int index = FindPolicyEntry(table, oldEntry);
  if (index < 0) return false;
  if (!FitsTable(table, newEntry, static_cast<uint32_t>(index))) return false;
  table.entries[index] = newEntry;
  return true;
}

void DeletePolicyEntry(tagPOLICY_TABLE& table, const tagPOLICY& entry) {
  int index = FindPolicyEntry(table, entry);
  if (index < 0) return;
  const uint32_t count = table.count < kMaxPolicyEntries ? table.count : kMaxPolicyEntries;
  std::memmove(&table.entries[index], &table.entries[index + 1],
               (count - static_cast<uint32_t>(index) - 1) * sizeof(tagPOLICY));
  std::memset(&table.entries[count - 1], 0, sizeof(tagPOLICY));
  table.count = count - 1;
}

namespace {

template <size_t N>
void ClearAfterText(char (&text)[N]) {
  size_t end = strnlen(text, N);
  if (end < N) std::memset(text + end, 0, N - end);
}

template <size_t N>
void Clear(uint8_t (&bytes)[N]) {
  std::memset(bytes, 0, N);
}

}  // namespace

void ClearUnusedBytes(tagFIREWALL_PROGRAM& program) {
  Clear(program.reserved);
  ClearAfterText(program.path);
}

void ClearUnusedBytes(tagFIREWALL_PORTIP& rule) {
  Clear(rule.reserved);
  ClearAfterText(rule.description);
}

void ClearUnusedBytes(tagPOLICY_TABLE& table) {
  for (tagPOLICY& entry : table.entries) {
    Clear(entry.reserved1);
    Clear(entry.reserved2);
  }
  Clear(table.reserved);
}

void ClearUnusedBytes(tagFIREWALL_SHARED_FOLDER& folder) {
  Clear(folder.reserved1);
  ClearAfterText(folder.shareName);
  ClearAfterText(folder.path);
  Clear(folder.reserved2);
}

}  // namespace qxfw::store
