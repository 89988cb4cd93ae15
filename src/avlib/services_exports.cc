// The C exports of the service half: quarantine, restore, signature update and resident
// repair. No C++ exception leaves them.
#include <cstdlib>
#include <cstring>
#include <string>

#include "avlib/library_state.h"
#include "avlib/quarantine.h"
#include "avlib/quarantine_format.h"
#include "avlib/qxav.h"
#include "avlib/resident_repair.h"
#include "avlib/scanned_files.h"
#include "avlib/update_client.h"
#include "platform/debug_output.h"
#include "platform/folders.h"

namespace {

using qxfw::avlib::LibraryState;

qxfw::avlib::Quarantine CallerQuarantine() {
  qxfw::avlib::Quarantine quarantine;
  quarantine.DefineBase(LibraryState::Get().QuarantineBase());
  return quarantine;
}

int32_t Update(const char* folder, bool check_only, bool basic, const QxavProgressBar* bar,
               const QxavTextWindow* text) {
  if (basic) LibraryState::Get().basicUpdate = 1;
  if (folder == nullptr || folder[0] == '\0' || strnlen(folder, QXAV_PATH_SIZE) >= QXAV_PATH_SIZE)
    return qxfw::avlib::kUpdateFailed;
  qxfw::avlib::UpdateProgress progress;
  if (bar != nullptr) {
    progress.set_range = [bar](int32_t lines) {
      if (bar->setRange) bar->setRange(bar->context, 0, lines);
    };
    progress.step = [bar] {
      if (bar->getPosition && bar->setPosition)
        bar->setPosition(bar->context, bar->getPosition(bar->context) + 1);
    };
  }
  if (text != nullptr) {
    progress.show = [text](const std::string& path) {
      if (text->setText) text->setText(text->context, path.c_str());
    };
  }
  qxfw::avlib::UpdateOptions options;
  options.engine_folder = folder;
  while (options.engine_folder.size() > 1 && options.engine_folder.back() == '/')
    options.engine_folder.pop_back();
  options.check_only = check_only;
  options.basic = LibraryState::Get().basicUpdate != 0;
  options.settings_folder = qxfw::platform::SystemFolder();
  // $QXAV_UPDATE_SERVER = "host" or "host:port" replaces dvscan.ini's address (and, with a
  // port, the 80/3939 pair), for users and tests that run their own server.
  if (const char* server = getenv("QXAV_UPDATE_SERVER"); server != nullptr && server[0] != '\0') {
    std::string text = server;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
      long port = strtol(text.c_str() + colon + 1, nullptr, 10);
      if (port <= 0 || port > 65535) return qxfw::avlib::kUpdateNoConnection;
      options.primary_port = options.alternate_port = static_cast<uint16_t>(port);
      text.resize(colon);
    }
    options.server = text;
  }
  options.progress = &progress;
  return qxfw::avlib::RunUpdate(options);
}

template <typename F>
int32_t Guarded(int32_t on_fault, F&& body) {
  try {
    return body();
  } catch (...) {
    qxfw::platform::DebugOutput("[QXAV] internal fault caught at the library boundary");
    return on_fault;
  }
}

}  // namespace

extern "C" {

QXAV_API int32_t DefineQuarantine(const char* folder) {
  return Guarded(0, [&] {
    if (folder == nullptr || strnlen(folder, QXAV_PATH_SIZE) > qxfw::avlib::kMaxQuarantineBase)
      return 0;
    LibraryState::Get().SetQuarantineBase(folder);
    return 1;
  });
}

QXAV_API int32_t FileToQuarantine(const char* path, const char* note) {
  return Guarded(0, [&] {
    if (path == nullptr) return 0;
    // After a scan of path, the file that scan read is what moves.
    qxfw::avlib::QuarantineSource scanned;
    switch (qxfw::avlib::CScannedFiles::Get().Take(path, &scanned)) {
      case qxfw::avlib::CScannedFiles::Lookup::kHeld:
        return CallerQuarantine().ToQuarantine(path, scanned, note ? note : "") ? 1 : 0;
      case qxfw::avlib::CScannedFiles::Lookup::kChanged:
        qxfw::platform::DebugOutput(
            "[QXAV] quarantine refused: %s no longer leads to the file that was scanned", path);
        return 0;
      case qxfw::avlib::CScannedFiles::Lookup::kUnknown:
        break;
    }
    return CallerQuarantine().ToQuarantine(path, note ? note : "") ? 1 : 0;
  });
}

QXAV_API int32_t RestoreFile(const char* quarantinePath) {
  return Guarded(0, [&] {
    if (quarantinePath == nullptr) return 0;
    return CallerQuarantine().Restore(quarantinePath) ? 1 : 0;
  });
}

QXAV_API int32_t FileUpdate(const char* folder, int32_t checkOnly) {
  return Guarded(qxfw::avlib::kUpdateFailed,
                 [&] { return Update(folder, checkOnly != 0, false, nullptr, nullptr); });
}

QXAV_API int32_t FileUpdateWithProgress(const char* folder, const QxavProgressBar* progressBar,
                                        const QxavTextWindow* textWindow) {
  return Guarded(qxfw::avlib::kUpdateFailed,
                 [&] { return Update(folder, false, false, progressBar, textWindow); });
}

QXAV_API int32_t FileUpdateBasic(const char* folder, int32_t checkOnly) {
  return Guarded(qxfw::avlib::kUpdateFailed,
                 [&] { return Update(folder, checkOnly != 0, true, nullptr, nullptr); });
}

QXAV_API int32_t FileUpdateWithProgressBasic(const char* folder, const QxavProgressBar* progressBar,
                                             const QxavTextWindow* textWindow) {
  return Guarded(qxfw::avlib::kUpdateFailed,
                 [&] { return Update(folder, false, true, progressBar, textWindow); });
}

QXAV_API int32_t VirutCure(void) {
  return Guarded(0, [] { return qxfw::avlib::RepairAllProcesses().ran ? 1 : 0; });
}

}  // extern "C"
