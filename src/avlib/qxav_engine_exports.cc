// The engine half of libqxav.so's exports: engine set-up, settings, scanning and the names a
// scan leaves. Each export catches everything: nothing thrown crosses the C boundary.
#include <cstring>
#include <string>

#include "avlib/av_engine.h"
#include "avlib/file_scanner.h"
#include "avlib/library_state.h"
#include "avlib/qxav.h"
#include "platform/debug_output.h"

namespace {

using qxfw::avlib::CAvEngine;
using qxfw::avlib::CFileScanner;
using qxfw::avlib::LibraryState;

void CopyText(char* buffer, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

template <typename F>
int32_t Guarded(const char* name, int32_t failure, F body) {
  try {
    return body();
  } catch (const std::exception& e) {
    qxfw::platform::DebugOutput("[QXAV]%s: %s", name, e.what());
  } catch (...) {
    qxfw::platform::DebugOutput("[QXAV]%s: failed", name);
  }
  return failure;
}

}  // namespace

extern "C" {

QXAV_API int32_t InitEngine(void) {
  return Guarded("InitEngine", 0, [] {
    std::lock_guard<std::mutex> hold(LibraryState::Get().scanLock);
    return CAvEngine::Get().Init(LibraryState::Get().EngineFolder());
  });
}

QXAV_API int32_t GetEngineInfo(EngineInfo* info) {
  return Guarded("GetEngineInfo", 0, [info] {
    if (info == nullptr) return 0;
    CAvEngine& engine = CAvEngine::Get();
    info->platformId = 2;
    if (!engine.Running()) {
      info->engineVersion = 0;
      info->virusRecords = 0;
      return 0;
    }
    intptr_t version = engine.Command(qxfw::dvengine::kCmdVersion);
    info->engineVersion = version < 0 ? 0 : static_cast<int32_t>(version);
    info->virusRecords = engine.RecordCount();
    return 1;
  });
}

QXAV_API int32_t ShutdownEngine(void) {
  Guarded("ShutdownEngine", 1, [] {
    std::lock_guard<std::mutex> hold(LibraryState::Get().scanLock);
    CAvEngine::Get().Shutdown();
    return 1;
  });
  return 1;
}

QXAV_API int32_t ModifySettings(const ScanSettings* settings) {
  return Guarded("ModifySettings", 0, [settings] {
    if (settings == nullptr) return 0;
    CFileScanner::Get().SetSettings(*settings);
    return 1;
  });
}

QXAV_API int32_t SetDVSourceDir(const char* folder) {
  Guarded("SetDVSourceDir", 0, [folder] {
    if (folder == nullptr) return 0;
    std::string text(folder);
    if (text.empty() || text.back() != '/') text += '/';
    if (text.size() >= QXAV_PATH_SIZE) {
      qxfw::platform::DebugOutput("[QXAV]SetDVSourceDir: folder too long");
      return 0;
    }
    LibraryState::Get().SetSourceFolder(text);
    return 0;
  });
  return 0;
}

QXAV_API int32_t FileScan(const char* path, int32_t mode) {
  return Guarded("FileScan", -1, [path, mode] { return CFileScanner::Get().Scan(path, mode); });
}

QXAV_API int32_t GetLastVirusName(char* buffer) {
  return Guarded("GetLastVirusName", 0, [buffer] {
    if (buffer == nullptr) return 0;
    LibraryState& state = LibraryState::Get();
    std::string name = state.LastVirusName();
    int32_t type = state.LastVirusType();
    CAvEngine& engine = CAvEngine::Get();
    if (!name.empty() && engine.Running()) {
      char asked[qxfw::dvengine::kVirusNameSize + 1] = {};
      intptr_t askedType = engine.Command(qxfw::dvengine::kCmdVirusName, asked);
      asked[qxfw::dvengine::kVirusNameSize] = '\0';
      if (askedType != -1 && asked[0] != '\0') {
        name = asked;
        type = static_cast<int32_t>(askedType);
      }
    }
    CopyText(buffer, QXAV_VIRUS_NAME_SIZE, name);
    state.ClearLastVirusName();
    return name.empty() ? 0 : type;
  });
}

QXAV_API int32_t GetCurObjectName(char* buffer) {
  return Guarded("GetCurObjectName", 0, [buffer] {
    if (buffer == nullptr) return 0;
    CopyText(buffer, QXAV_OBJECT_NAME_SIZE, CFileScanner::Get().TakeObjectPath());
    return 1;
  });
}

}  // extern "C"
