// The engine's side of the host I/O table: file access and memory go through the functions
// the antivirus library handed to DVENGINE_InitDll. One instance per engine; used only from
// the thread inside an engine command.
#pragma once

#include <cstdint>
#include <string>

#include "dvengine_contract.h"

namespace qxfw::dvengine {

class HostIo {
 public:
  // False when the table is too short or misses an entry the engine needs.
  bool Bind(const HostIoEntry* table, int32_t count);

  intptr_t Open(const std::string& path, intptr_t mode) const;  // -1 on failure
  intptr_t Close(intptr_t handle) const;
  intptr_t Read(intptr_t handle, void* buffer, intptr_t length) const;
  intptr_t SeekAbsolute(intptr_t handle, intptr_t position) const;
  intptr_t SeekEnd(intptr_t handle) const;
  intptr_t SeekRelative(intptr_t handle, intptr_t offset) const;
  intptr_t Query(intptr_t what) const;

 private:
  const HostIoEntry* table_ = nullptr;
};

// A host handle that is closed when it goes out of scope.
class HostFile {
 public:
  HostFile(const HostIo& io, const std::string& path) : io_(io), handle_(io.Open(path, 0)) {}
  ~HostFile() {
    if (handle_ != -1) io_.Close(handle_);
  }
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;
  bool ok() const { return handle_ != -1; }
  intptr_t handle() const { return handle_; }
  // Reads exactly length bytes at position; false on a short read or failure.
  bool ReadAt(uint64_t position, void* buffer, size_t length) const;
  // The file's size, -1 on failure.
  int64_t Size() const;

 private:
  const HostIo& io_;
  intptr_t handle_;
};

}  // namespace qxfw::dvengine
