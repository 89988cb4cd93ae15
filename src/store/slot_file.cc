#include "store/slot_file.h"

#include <sched.h>

#include <cstring>
#include <vector>

namespace qxfw::store {
namespace {

// Slots read per system call while scanning: about 100 KiB, small enough to stay in cache.
constexpr uint32_t kScanBatch = 128;

}  // namespace

CSlotFile::CSlotFile(std::unique_ptr<platform::RandomAccessFile> file, CRijndael* cipher)
    : file_(std::move(file)), cipher_(cipher) {}

bool CSlotFile::ReadSlot(uint32_t number, tagSLOT* slot) {
  std::memset(slot, 0, sizeof(*slot));
  if (!file_) return false;
  alignas(16) uint8_t ciphertext[kSlotSize] = {};
  int64_t n = file_->ReadAt(static_cast<uint64_t>(number) * kSlotSize, ciphertext, kSlotSize);
  if (n <= 0) return false;
  cipher_->Decrypt(reinterpret_cast<const char*>(ciphertext), reinterpret_cast<char*>(slot),
                   kSlotSize, CRijndael::ECB);
  return true;
}

int64_t CSlotFile::ReadRaw(uint64_t offset, void* data, size_t size) {
  return file_ ? file_->ReadAt(offset, data, size) : -1;
}

bool CSlotFile::WriteSlot(uint32_t number, const tagSLOT& slot) {
  if (!file_) return false;
  alignas(16) uint8_t ciphertext[kSlotSize];
  cipher_->Encrypt(reinterpret_cast<const char*>(&slot), reinterpret_cast<char*>(ciphertext),
                   kSlotSize, CRijndael::ECB);
  // The block with the slot's kind and state goes last: a write cut short (a crash, a full
  // disk) leaves the old kind and state over the new bytes, so a free slot stays free rather
  // than bringing its old record back to life.
  const uint64_t at = static_cast<uint64_t>(number) * kSlotSize;
  return file_->WriteAt(at + kCipherBlock, ciphertext + kCipherBlock, kSlotSize - kCipherBlock) &&
         file_->WriteAt(at, ciphertext, kCipherBlock);
}

bool CSlotFile::WriteBlock(uint32_t number, const tagSLOT& slot, size_t offset) {
  if (!file_ || offset % kCipherBlock != 0 || offset >= kSlotSize) return false;
  alignas(16) uint8_t ciphertext[kCipherBlock];
  cipher_->Encrypt(reinterpret_cast<const char*>(&slot) + offset,
                   reinterpret_cast<char*>(ciphertext), kCipherBlock, CRijndael::ECB);
  return file_->WriteAt(static_cast<uint64_t>(number) * kSlotSize + offset, ciphertext,
                        kCipherBlock);
}

bool CSlotFile::AppendSlot(const tagSLOT& slot, uint32_t* number) {
  if (!file_) return false;
  uint32_t at = SlotCount();
  if (!WriteSlot(at, slot)) return false;
  if (number != nullptr) *number = at;
  return true;
}

int64_t CSlotFile::Size() {
  return file_ ? file_->Size() : -1;
}

uint32_t CSlotFile::SlotCount() {
  int64_t size = Size();
  if (size <= 0) return 0;
  return static_cast<uint32_t>((static_cast<uint64_t>(size) + kSlotSize - 1) / kSlotSize);
}

bool CSlotFile::Truncate(uint64_t size) {
  return file_ && file_->Truncate(size);
}

bool CSlotFile::Sync() {
  return file_ && file_->Sync();
}

void CSlotFile::Scan(uint32_t first, const ScanVisitor& visit) {
  if (!file_) return;
  std::vector<uint8_t> batch(kScanBatch * kSlotSize);
  for (uint32_t number = first;;) {
    int64_t n =
        file_->ReadAt(static_cast<uint64_t>(number) * kSlotSize, batch.data(), batch.size());
    if (n <= 0) return;
    size_t got = static_cast<size_t>(n);
    uint32_t slots = static_cast<uint32_t>((got + kSlotSize - 1) / kSlotSize);
    std::memset(batch.data() + got, 0, slots * kSlotSize - got);
    for (uint32_t i = 0; i < slots; ++i) {
      if (!visit(number + i, batch.data() + i * kSlotSize)) return;
    }
    if (got < batch.size()) return;
    number += slots;
    sched_yield();
  }
}

void CSlotFile::DecryptPart(const uint8_t* ciphertext, uint8_t* plain, size_t offset,
                            size_t length) {
  cipher_->Decrypt(reinterpret_cast<const char*>(ciphertext + offset),
                   reinterpret_cast<char*>(plain + offset), length, CRijndael::ECB);
}

void CSlotFile::DecryptHeader(const uint8_t* ciphertext, tagSLOT_HEADER* header) {
  cipher_->Decrypt(reinterpret_cast<const char*>(ciphertext), reinterpret_cast<char*>(header),
                   sizeof(*header), CRijndael::ECB);
}

}  // namespace qxfw::store
