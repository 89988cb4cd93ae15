#include "ctl/qxav_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <sstream>

#include "ctl/ctl_support.h"

namespace qxfw::ctl {

QxavLibrary::QxavLibrary(const std::string& folder) {
  std::string path = folder + "/libqxav.so";
  if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
    throw NotInstalled("the antivirus library", "is not installed", path, "qxfwsetup /Install");
  }
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    throw CommandFailed("cannot load " + path + ": " + (why != nullptr ? why : "unknown error"));
  }
  auto bind = [this](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(handle_, name));
  };
  bind(InitEngine, "InitEngine");
  bind(GetEngineInfo, "GetEngineInfo");
  bind(ShutdownEngine, "ShutdownEngine");
  bind(ModifySettings, "ModifySettings");
  bind(FileScan, "FileScan");
  bind(GetLastVirusName, "GetLastVirusName");
  bind(GetCurObjectName, "GetCurObjectName");
  bind(SetDVSourceDir, "SetDVSourceDir");
  bind(DefineQuarantine, "DefineQuarantine");
  bind(FileToQuarantine, "FileToQuarantine");
  bind(RestoreFile, "RestoreFile");
  bind(FileUpdate, "FileUpdate");
  bind(FileUpdateBasic, "FileUpdateBasic");
}

QxavLibrary::~QxavLibrary() {
  if (ShutdownEngine != nullptr) ShutdownEngine();
  // Not unloaded: the engine's libraries stay mapped for the rest of the process anyway.
}

void QxavLibrary::Require(const void* function, const char* name) const {
  if (function == nullptr) throw CommandFailed(std::string("libqxav.so has no ") + name);
}

QxavLibrary::ScanOutcome QxavLibrary::Scan(const std::string& path, int32_t mode,
                                           const std::string& reportPath) {
  std::lock_guard<std::mutex> hold(scanLock_);
  ScanOutcome outcome;
  outcome.result = FileScan(path.c_str(), mode);
  if (outcome.result == -1 || outcome.result == 0) return outcome;
  char object[QXAV_OBJECT_NAME_SIZE] = {};
  char virus[QXAV_VIRUS_NAME_SIZE] = {};
  GetCurObjectName(object);
  outcome.virusType = GetLastVirusName(virus);
  object[sizeof(object) - 1] = '\0';
  virus[sizeof(virus) - 1] = '\0';
  outcome.object = object;
  outcome.virus = virus;
  if ((outcome.result & QXAV_FLAG_CONTAINER) != 0) {
    std::ifstream report(reportPath);
    std::ostringstream text;
    text << report.rdbuf();
    outcome.report = text.str();
  }
  return outcome;
}

}  // namespace qxfw::ctl
