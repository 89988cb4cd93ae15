#include "monitor/image_cacher.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/path_text.h"
#include "platform/text_compare.h"

namespace qxfw::monitor {
namespace {

bool ProcessRuns(uint32_t processId) {
  // EPERM means it exists but belongs to someone else.
  if (processId == 0 || processId > static_cast<uint32_t>(INT32_MAX)) return false;
  return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

}  // namespace

CImageCacher::CImageCacher(std::vector<std::string> knownDlls, ProcessAlive processAlive)
    : knownDlls_(std::move(knownDlls)),
      processAlive_(processAlive ? std::move(processAlive) : ProcessAlive(ProcessRuns)),
      slots_(kSlotCount) {}

CImageCacher& CImageCacher::Instance() {
  static CImageCacher instance;
  return instance;
}

void CImageCacher::SetKnownDlls(std::vector<std::string> knownDlls) {
  std::lock_guard<std::mutex> lock(mutex_);
  knownDlls_ = std::move(knownDlls);
}

bool CImageCacher::IsKnownDll(const std::string& path) const {
  for (const std::string& dll : knownDlls_) {
    if (platform::EqualNoCase(dll, path)) return true;
  }
  return false;
}

int CImageCacher::FreeSlot() {
  for (int i = 0; i < kSlotCount; ++i) {
    if (slots_[static_cast<size_t>(i)].flags == 0) return i;
  }
  // All taken. Handed-out executables only serve ExecutableOf; once their process has ended
  // nobody asks for them, so they make room. Pending images are kept for the scan.
  int first = -1;
  for (int i = 0; i < kSlotCount; ++i) {
    Slot& slot = slots_[static_cast<size_t>(i)];
    if ((slot.flags & kHandedOut) == 0 || processAlive_(slot.processId)) continue;
    slot = Slot();
    if (first < 0) first = i;
  }
  return first;
}

bool CImageCacher::Record(uint32_t processId, const std::string& path) {
  if (path.empty()) return false;
  // Looking at the file happens outside the lock: it touches the disk.
  const bool executable = platform::IsExecutableProgram(path);
  std::lock_guard<std::mutex> lock(mutex_);
  if (IsKnownDll(path)) return false;
  int index = FreeSlot();
  if (index < 0) return false;
  Slot& slot = slots_[static_cast<size_t>(index)];
  slot.processId = processId;
  slot.path = path;
  slot.flags = executable ? kInUse | kExecutable : kInUse;
  return true;
}

bool CImageCacher::Record(uint32_t processId, const RunningProgram& program) {
  return Record(processId, TrustedPathOf(program));
}

std::string CImageCacher::ExecutableOf(uint32_t processId) const {
  std::string found;
  if (processId <= kHighestSystemProcessId) return found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Slot& slot : slots_) {
    if (slot.processId == processId && (slot.flags & kExecutable) != 0) found = slot.path;
  }
  return found;
}

bool CImageCacher::ExecutableOf(uint32_t processId, char* buffer, size_t size) const {
  if (buffer == nullptr || size == 0) return false;
  std::string path = ExecutableOf(processId);
  if (path.empty()) return false;
  size_t n = std::min(path.size(), size - 1);
  std::memcpy(buffer, path.data(), n);
  buffer[n] = '\0';
  return true;
}

int CImageCacher::NextPending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < kSlotCount; ++i) {
    uint32_t flags = slots_[static_cast<size_t>(i)].flags;
    if ((flags & kInUse) != 0 && (flags & kHandedOut) == 0) return i;
  }
  return -1;
}

std::optional<std::string> CImageCacher::PathAt(int index) const {
  if (index < 0 || index >= kSlotCount) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot& slot = slots_[static_cast<size_t>(index)];
  if (slot.path.empty()) return std::nullopt;
  return slot.path;
}

bool CImageCacher::HandOut(int index) {
  if (index < 0 || index >= kSlotCount) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[static_cast<size_t>(index)];
  if (slot.path.empty()) {
    slot = Slot();
    return false;
  }
  if ((slot.flags & kExecutable) != 0) {
    slot.flags = kHandedOut | kExecutable;
  } else {
    slot = Slot();
  }
  return true;
}

uint32_t CImageCacher::FlagsAt(int index) const {
  if (index < 0 || index >= kSlotCount) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_[static_cast<size_t>(index)].flags;
}

}  // namespace qxfw::monitor
