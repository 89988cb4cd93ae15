// CImageCacher: the program images that processes loaded, as the image-load notifications
// report them.
//
// 1024 slots of {process id, path, flags}. The notification path records images; the process
// list asks which executable a process runs; the antivirus module scan takes pending images
// one by one and hands them out. One lock guards the slots: Record, ExecutableOf, NextPending,
// PathAt and HandOut may be called from any thread. Paths are returned as copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitor/trusted_path.h"

namespace qxfw::monitor {

class CImageCacher {
 public:
  static constexpr int kSlotCount = 1024;
  // Slot flags; a free slot has none.
  static constexpr uint32_t kInUse = 1;
  static constexpr uint32_t kHandedOut = 2;
  static constexpr uint32_t kExecutable = 4;
  // Process ids up to this one belong to the system and are never looked up.
  static constexpr uint32_t kHighestSystemProcessId = 10;

  // Tells whether a process still runs; used to reclaim slots when all are taken.
  using ProcessAlive = std::function<bool(uint32_t processId)>;

  // knownDlls: full paths of libraries that are never recorded (compared ignoring case). The
  // platform has no such system list, so the program passes what its registry holds, which is
  // usually nothing.
  explicit CImageCacher(std::vector<std::string> knownDlls = {},
                        ProcessAlive processAlive = nullptr);
  CImageCacher(const CImageCacher&) = delete;
  CImageCacher& operator=(const CImageCacher&) = delete;

  // The process-wide cache, created on first use with an empty known-DLL list.
  static CImageCacher& Instance();

  // Replaces the known-DLL list (start-up fills it once the registry is open).
  void SetKnownDlls(std::vector<std::string> knownDlls);

  // Records an image that processId loaded. Empty paths and known DLLs are ignored. The first
  // free slot gets flags kInUse, plus kExecutable when the path is an executable program. When
  // every slot is taken, handed-out slots of processes that have ended are freed first; if none
  // is, the image is not recorded and false is returned.
  bool Record(uint32_t processId, const std::string& path);
  // Records the program a process runs, only when its path is trusted: an untrusted path
  // (another mount namespace, a replaced file) must not later answer ExecutableOf.
  bool Record(uint32_t processId, const RunningProgram& program);

  // Path of the executable that processId runs: the last executable slot of that process.
  // Empty for process ids up to 10 and for processes without one.
  std::string ExecutableOf(uint32_t processId) const;
  // Same into a caller's buffer of size bytes (cut, always terminated); false when nothing was
  // copied, in which case the buffer is left as it was.
  bool ExecutableOf(uint32_t processId, char* buffer, size_t size) const;

  // Index of the first slot in use and not handed out, or -1.
  int NextPending() const;

  // Path of slot index (0-1023); none outside that range or for an empty slot.
  std::optional<std::string> PathAt(int index) const;

  // Hands out slot index: an executable's slot keeps its path (so ExecutableOf still finds
  // it) and is marked handed out; any other slot is freed. False for an index outside the
  // slots and for a slot without a path (which is cleared).
  bool HandOut(int index);

  // Slot flags for inspection; 0 outside the range.
  uint32_t FlagsAt(int index) const;

 private:
  struct Slot {
    uint32_t processId = 0;
    std::string path;
    uint32_t flags = 0;
  };

  bool IsKnownDll(const std::string& path) const;  // REQUIRES: mutex_ held
  int FreeSlot();                                  // REQUIRES: mutex_ held

  mutable std::mutex mutex_;
  std::vector<std::string> knownDlls_;
  ProcessAlive processAlive_;
  std::vector<Slot> slots_;
};

}  // namespace qxfw::monitor
