// Test helper: a RandomAccessFile held in memory, optionally failing every write once a byte
// budget is spent (to see how the store copes with a full disk or a failing device).
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/file.h"

namespace qxfw::test_support {

class MemoryFile : public platform::RandomAccessFile {
 public:
  explicit MemoryFile(std::string bytes = {},
                      size_t writeBudget = std::numeric_limits<size_t>::max())
      : bytes_(std::move(bytes)), budget_(writeBudget) {}

  int64_t ReadAt(uint64_t offset, void* data, size_t size) override {
    if (offset >= bytes_.size()) return 0;
    size_t n = std::min(size, bytes_.size() - static_cast<size_t>(offset));
    std::memcpy(data, bytes_.data() + offset, n);
    return static_cast<int64_t>(n);
  }
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    if (size > budget_) return false;
    budget_ -= size;
    if (bytes_.size() < offset + size) bytes_.resize(offset + size);
    std::memcpy(bytes_.data() + offset, data, size);
    return true;
  }
  // A full disk that fills up (0) or is cleared again (SIZE_MAX).
  void SetWriteBudget(size_t budget) { budget_ = budget; }
  const std::string& Bytes() const { return bytes_; }

  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
  bool Truncate(uint64_t size) override {
    bytes_.resize(size);
    return true;
  }
  bool Sync() override {
    ++syncs_;
    return true;
  }
  size_t Syncs() const { return syncs_; }

 private:
  std::string bytes_;
  size_t budget_;
  size_t syncs_ = 0;
};

}  // namespace qxfw::test_support
