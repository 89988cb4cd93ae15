#include "host_io.h"

namespace qxfw::dvengine {
namespace {

constexpr int kNeeded[] = {kHostOpen,    kHostClose,        kHostRead, kHostSeekAbsolute,
                           kHostSeekEnd, kHostSeekRelative, kHostQuery};

}  // namespace

bool HostIo::Bind(const HostIoEntry* table, int32_t count) {
  if (table == nullptr || count < kHostIoCount) return false;
  for (int index : kNeeded) {
    if (table[index].function == nullptr) return false;
  }
  table_ = table;
  return true;
}

intptr_t HostIo::Open(const std::string& path, intptr_t mode) const {
  return reinterpret_cast<HostFn2>(table_[kHostOpen].function)(
      0, reinterpret_cast<intptr_t>(path.c_str()), mode);
}

intptr_t HostIo::Close(intptr_t handle) const {
  return reinterpret_cast<HostFn1>(table_[kHostClose].function)(0, handle);
}

intptr_t HostIo::Read(intptr_t handle, void* buffer, intptr_t length) const {
  return reinterpret_cast<HostFn3>(table_[kHostRead].function)(
      0, handle, reinterpret_cast<intptr_t>(buffer), length);
}

intptr_t HostIo::SeekAbsolute(intptr_t handle, intptr_t position) const {
  return reinterpret_cast<HostFn2>(table_[kHostSeekAbsolute].function)(0, handle, position);
}

intptr_t HostIo::SeekEnd(intptr_t handle) const {
  return reinterpret_cast<HostFn1>(table_[kHostSeekEnd].function)(0, handle);
}

intptr_t HostIo::SeekRelative(intptr_t handle, intptr_t offset) const {
  return reinterpret_cast<HostFn2>(table_[kHostSeekRelative].function)(0, handle, offset);
}

intptr_t HostIo::Query(intptr_t what) const {
  return reinterpret_cast<HostFn2>(table_[kHostQuery].function)(0, what, 0);
}

bool HostFile::ReadAt(uint64_t position, void* buffer, size_t length) const {
  if (handle_ == -1) return false;
  if (io_.SeekAbsolute(handle_, static_cast<intptr_t>(position)) != intptr_t(position)) {
    return false;
  }
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    intptr_t n = io_.Read(handle_, out + done, static_cast<intptr_t>(length - done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int64_t HostFile::Size() const {
  if (handle_ == -1) return -1;
  return io_.SeekEnd(handle_);
}

}  // namespace qxfw::dvengine
