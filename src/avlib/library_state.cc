#include "avlib/library_state.h"

#include <unistd.h>

#include <climits>

namespace qxfw::avlib {

LibraryState& LibraryState::Get() {
  // Never destroyed: exports may run from other threads while the process exits.
  static LibraryState* state = new LibraryState();
  return *state;
}

std::string LibraryState::SourceFolder() const {
  std::lock_guard<std::mutex> hold(folderLock_);
  return sourceFolder_;
}

bool LibraryState::SourceFolderSet() const {
  std::lock_guard<std::mutex> hold(folderLock_);
  return sourceFolderSet_;
}

void LibraryState::SetSourceFolder(const std::string& folder) {
  std::lock_guard<std::mutex> hold(folderLock_);
  sourceFolder_ = folder;
  if (sourceFolder_.empty() || sourceFolder_.back() != '/') sourceFolder_ += '/';
  sourceFolderSet_ = true;
}

std::string LibraryState::HostProgramFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return "./";
  std::string text(path, static_cast<size_t>(length));
  size_t slash = text.rfind('/');
  if (slash == std::string::npos) return "./";
  return text.substr(0, slash + 1);
}

std::string LibraryState::EngineFolder() const {
  {
    std::lock_guard<std::mutex> hold(folderLock_);
    if (sourceFolderSet_) return sourceFolder_;
  }
  return HostProgramFolder();
}

std::string LibraryState::QuarantineBase() const {
  std::lock_guard<std::mutex> hold(folderLock_);
  return quarantineBase_;
}

void LibraryState::SetQuarantineBase(const std::string& folder) {
  std::lock_guard<std::mutex> hold(folderLock_);
  quarantineBase_ = folder;
}

std::string LibraryState::LastVirusName() const {
  std::lock_guard<std::mutex> hold(virusLock_);
  return lastVirusName_;
}

int32_t LibraryState::LastVirusType() const {
  std::lock_guard<std::mutex> hold(virusLock_);
  return lastVirusType_;
}

void LibraryState::SetLastVirus(const std::string& name, int32_t type) {
  std::lock_guard<std::mutex> hold(virusLock_);
  lastVirusName_ = name;
  lastVirusType_ = type;
}

void LibraryState::ClearLastVirusName() {
  std::lock_guard<std::mutex> hold(virusLock_);
  lastVirusName_.clear();
}

}  // namespace qxfw::avlib
