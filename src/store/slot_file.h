// One encrypted file of 816-byte slots (the rule data file or its journal).
//
// Reads zero-fill the caller's slot first and succeed when at least one byte was read, so a
// partial last slot reads as if its missing bytes were zero. Appends go to the first whole
// slot boundary at or after the end, so a torn earlier write never shifts later slots off
// the grid. Scans read many slots per system call and hand out ciphertext, letting callers
// decrypt only the 16-byte blocks they look at (ECB encrypts every block on its own).
// Used by CDBManager on one thread; not synchronised.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/file.h"
#include "store/rijndael.h"
#include "store/rule_file_format.h"

namespace qxfw::store {

class CSlotFile {
 public:
  // file may be null: the file is then not open and every operation fails.
  CSlotFile(std::unique_ptr<platform::RandomAccessFile> file, CRijndael* cipher);

  bool IsOpen() const { return file_ != nullptr; }
  void Attach(std::unique_ptr<platform::RandomAccessFile> file) { file_ = std::move(file); }

  bool ReadSlot(uint32_t number, tagSLOT* slot);
  // The file's bytes as they are (ciphertext); the count read, -1 on error.
  int64_t ReadRaw(uint64_t offset, void* data, size_t size);
  bool WriteSlot(uint32_t number, const tagSLOT& slot);
  // Writes only the 16-byte block of slot at offset (a multiple of 16): one field of a header
  // changes in a write too small to be torn.
  bool WriteBlock(uint32_t number, const tagSLOT& slot, size_t offset);
  // Writes at the end of the file; *number gets the slot index used.
  bool AppendSlot(const tagSLOT& slot, uint32_t* number);

  // File size in bytes, -1 when unknown.
  int64_t Size();
  // Number of slots a reader finds (a partial last slot counts).
  uint32_t SlotCount();
  bool Truncate(uint64_t size);
  // fdatasync: what was written survives a power loss once this returns true.
  bool Sync();

  // Visits slots first, first+1, ... with their ciphertext (816 bytes, zero-padded when the
  // file ends inside the slot) until the file ends or visit returns false. Yields the
  // processor between batches.
  using ScanVisitor = std::function<bool(uint32_t number, const uint8_t* ciphertext)>;
  void Scan(uint32_t first, const ScanVisitor& visit);

  // Decrypts whole blocks [offset, offset+length) of one slot's ciphertext into plain (which
  // receives the bytes at the same offsets). offset and length are multiples of 16.
  void DecryptPart(const uint8_t* ciphertext, uint8_t* plain, size_t offset, size_t length);
  void DecryptHeader(const uint8_t* ciphertext, tagSLOT_HEADER* header);

 private:
  std::unique_ptr<platform::RandomAccessFile> file_;
  CRijndael* cipher_;
};

}  // namespace qxfw::store
