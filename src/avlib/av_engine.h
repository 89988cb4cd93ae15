// The bound scanning engine: libdvengine32.so loaded from the engine folder, its command
// entry, the engine state word handed from one run to the next, the record count and the
// database list. One per process (Get()).
//
// Threads: Init and Shutdown run while no scan runs (the host's calling order); Command is
// called by the scan under the scan lock and by GetEngineInfo/GetLastVirusName, which check
// Entry() first so they are safe before Init and after Shutdown.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "avlib/database_list.h"
#include "dvengine/dvengine_contract.h"

namespace qxfw::avlib {

class CAvEngine {
 public:
  static CAvEngine& Get();

  // 1 when the engine runs and loaded at least one record, else 0 (see InitEngine).
  int32_t Init(const std::string& engineFolder);
  void Shutdown();

  bool Running() const { return entry_ != nullptr; }
  int32_t RecordCount() const { return recordCount_; }
  const std::vector<DatabaseEntry>& Databases() const { return databases_; }
  // Calls the engine; -1 when it is not running.
  template <typename... Args>
  intptr_t Command(intptr_t command, Args... args) {
    if (entry_ == nullptr) return -1;
    return entry_(0, command, AsWord(args)...);
  }

 private:
  template <typename T>
  static intptr_t AsWord(T value) {
    if constexpr (std::is_pointer_v<T>) {
      return reinterpret_cast<intptr_t>(value);
    } else {
      return static_cast<intptr_t>(value);
    }
  }
  CAvEngine() = default;
  void* library_ = nullptr;
  EngineEntry entry_ = nullptr;
  intptr_t stateWord_ = 0;
  int32_t recordCount_ = 0;
  std::vector<DatabaseEntry> databases_;
};

}  // namespace qxfw::avlib
