// CDBCache: the decrypted in-memory copy of the rule data file, from which rules are
// enumerated without touching the disk.
//
// Every slot copy is kept, deleted slots included, indexed by slot number. The copy is
// rebuilt from the file after each change; its storage is sized once per reload from the file
// size. One cursor serves all kinds, so an enumeration must not be interleaved with a change
// or another enumeration. Used on the user-interface thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "store/rule_file_format.h"
#include "store/slot_file.h"

namespace qxfw::store {

class CDBCache {
 public:
  // Slots beyond this are not loaded: a rule file is never near it, and a huge or damaged file
  // must not exhaust memory.
  static constexpr uint32_t kMaxSlots = 1u << 21;

  CDBCache() = default;
  virtual ~CDBCache() = default;
  CDBCache(const CDBCache&) = delete;
  CDBCache& operator=(const CDBCache&) = delete;

  // Frees everything, then reads slot 0 and the slots after it until a read fails.
  void Reload(CSlotFile& file);
  void Clear();

  // The copy of slot number, or null when it was not loaded.
  const tagSLOT* Slot(uint32_t number) const;
  uint32_t LoadedCount() const { return loaded_; }
  uint32_t Capacity() const { return static_cast<uint32_t>(present_.size()); }

  // Cursor over live records of one kind, in slot order; 0 = none.
  void ResetCursor() { cursor_ = 0; }
  // Moves to the next live slot of kind after the cursor; false (cursor 0) when none is left.
  bool Next(uint32_t kind);
  uint32_t Cursor() const { return cursor_; }
  uint32_t LastQueryKind() const { return last_kind_; }

 private:
  std::vector<tagSLOT> slots_;
  std::vector<uint8_t> present_;
  uint32_t loaded_ = 0;
  uint32_t cursor_ = 0;
  uint32_t last_kind_ = 0;
};

}  // namespace qxfw::store
