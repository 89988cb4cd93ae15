#include "avlib/av_engine.h"

#include <dlfcn.h>

#include "avlib/host_io_table.h"
#include "platform/debug_output.h"

namespace qxfw::avlib {

CAvEngine& CAvEngine::Get() {
  static CAvEngine* engine = new CAvEngine();
  return *engine;
}

int32_t CAvEngine::Init(const std::string& engineFolder) {
  // A second Init without Shutdown starts from a clean engine, not a doubled count.
  if (entry_ != nullptr || library_ != nullptr) Shutdown();
  recordCount_ = 0;
  std::string path = engineFolder + dvengine::kEngineFileName;
  library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library_ == nullptr) {
    platform::DebugOutput("[QXAV]InitEngine: cannot load %s: %s", path.c_str(), dlerror());
    return 0;
  }
  auto initDll = reinterpret_cast<DvengineInitDll>(dlsym(library_, dvengine::kEntryPointName));
  if (initDll == nullptr) {
    platform::DebugOutput("[QXAV]InitEngine: %s has no %s", path.c_str(),
                          dvengine::kEntryPointName);
    return 0;
  }
  static const EngineHostInfo hostInfo{dvengine::kPlatformCode, dvengine::kInterfaceLevel};
  entry_ = initDll(HostIoTable(), dvengine::kHostIoCount, &hostInfo, stateWord_);
  if (entry_ == nullptr) {
    platform::DebugOutput("[QXAV]InitEngine: the engine refused to start");
    return 0;
  }
  databases_ = ListDatabases(engineFolder);
  if (databases_.empty()) {
    platform::DebugOutput("[QXAV]InitEngine: no usable .vdb file in %s", engineFolder.c_str());
    return 0;
  }
  int64_t total = 0;
  for (const DatabaseEntry& database : databases_) {
    intptr_t records = Command(dvengine::kCmdLoadDatabase, database.path.c_str());
    if (records != -1) total += records;
  }
  recordCount_ = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
  stateWord_ = Command(dvengine::kCmdFinishLoading);
  return recordCount_ != 0 ? 1 : 0;
}

void CAvEngine::Shutdown() {
  databases_.clear();
  if (entry_ != nullptr) {
    Command(dvengine::kCmdShutdown);
    Command(dvengine::kCmdRelease);
    entry_ = nullptr;
  }
  if (library_ != nullptr) {
    dlclose(library_);
    library_ = nullptr;
  }
  recordCount_ = 0;
}

}  // namespace qxfw::avlib
