#include "ctl/qxav_library.h"

#include <dlfcn.h>

#include "ctl/ctl_support.h"

namespace qxfw::ctl {

QxavLibrary::QxavLibrary(const std::string& folder) {
  std::string path = folder + "/libqxav.so";
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
}

QxavLibrary::~QxavLibrary() {
  if (ShutdownEngine != nullptr) ShutdownEngine();
  // Not unloaded: the engine's libraries stay mapped for the rest of the process anyway.
}

void QxavLibrary::Require(const void* function, const char* name) const {
  if (function == nullptr) throw CommandFailed(std::string("libqxav.so has no ") + name);
}

}  // namespace qxfw::ctl
