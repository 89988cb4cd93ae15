#include "store/db_cache.h"

#include "platform/debug_output.h"

namespace qxfw::store {

void CDBCache::Clear() {
  std::vector<tagSLOT>().swap(slots_);
  std::vector<uint8_t>().swap(present_);
  loaded_ = 0;
  cursor_ = 0;
}

void CDBCache::Reload(CSlotFile& file) {
  Clear();
  int64_t size = file.Size();
  if (size < 0) return;
  uint64_t capacity = static_cast<uint64_t>(size) / kSlotSize + 1;
  if (capacity > kMaxSlots) {
    platform::DebugOutput("[Firewall] DBCache: rule file of %lld bytes, loading its first %u slots",
                          static_cast<long long>(size), kMaxSlots);
    capacity = kMaxSlots;
  }
  slots_.resize(capacity);
  present_.assign(capacity, 0);
  // The whole file is decrypted; batches keep the ciphertext in cache while it is decrypted.
  file.Scan(0, [&](uint32_t number, const uint8_t* ciphertext) {
    if (number >= capacity) return false;
    file.DecryptPart(ciphertext, reinterpret_cast<uint8_t*>(&slots_[number]), 0, kSlotSize);
    present_[number] = 1;
    loaded_ = number + 1;
    return true;
  });
}

const tagSLOT* CDBCache::Slot(uint32_t number) const {
  if (number >= present_.size() || !present_[number]) return nullptr;
  return &slots_[number];
}

bool CDBCache::Next(uint32_t kind) {
  last_kind_ = kind;
  for (uint32_t n = cursor_ + 1; n < loaded_; ++n) {
    const tagSLOT& slot = slots_[n];
    if (present_[n] && slot.header.state == kStateLive && slot.header.kind == kind) {
      cursor_ = n;
      return true;
    }
  }
  cursor_ = 0;
  return false;
}

}  // namespace qxfw::store
