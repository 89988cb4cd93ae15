#include "avlib/scanned_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qxfw::avlib {

CScannedFiles& CScannedFiles::Get() {
  static CScannedFiles* files = new CScannedFiles();
  return *files;
}

bool CScannedFiles::Begin(const std::string& path) {
  QuarantineSource source;
  bool opened = OpenQuarantineSource(path, true, &source);
  int error = errno;
  std::lock_guard<std::mutex> hold(lock_);
  scanning_.clear();
  current_ = std::move(source);
  if (!opened) {
    errno = error;
    return false;
  }
  scanning_ = path;
  return true;
}

bool CScannedFiles::Reopen(const char* path, intptr_t mode, int* fd) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (mode != 0 || path == nullptr || scanning_.empty() || scanning_ != path) return false;
  // The engine seeks before every read, so a shared offset is harmless.
  *fd = fcntl(current_.file.Get(), F_DUPFD_CLOEXEC, 0);
  return true;
}

void CScannedFiles::End(bool infected) {
  std::lock_guard<std::mutex> hold(lock_);
  QuarantineSource done = std::move(current_);
  std::string path;
  path.swap(scanning_);
  if (!infected || path.empty()) return;
  struct stat file_st, folder_st;
  if (fstat(done.file.Get(), &file_st) != 0 || fstat(done.folder.Get(), &folder_st) != 0) return;
  Remember(path, {file_st.st_dev, file_st.st_ino, folder_st.st_dev, folder_st.st_ino});
  source_ = std::move(done);
  heldPath_ = std::move(path);
}

void CScannedFiles::Remember(const std::string& path, const Identity& identity) {
  auto old = std::find(order_.begin(), order_.end(), path);
  if (old != order_.end()) order_.erase(old);
  order_.push_back(path);
  seen_[path] = identity;
  while (order_.size() > kRemembered) {
    seen_.erase(order_.front());
    order_.pop_front();
  }
}

CScannedFiles::Lookup CScannedFiles::Take(const std::string& path, QuarantineSource* source) {
  std::lock_guard<std::mutex> hold(lock_);
  auto seen = seen_.find(path);
  if (seen == seen_.end()) return Lookup::kUnknown;
  const Identity identity = seen->second;
  seen_.erase(seen);
  order_.erase(std::find(order_.begin(), order_.end(), path));
  if (heldPath_ == path) {
    heldPath_.clear();
    *source = std::move(source_);
    return Lookup::kHeld;
  }
  QuarantineSource again;
  struct stat file_st, folder_st;
  if (!OpenQuarantineSource(path, false, &again) || fstat(again.file.Get(), &file_st) != 0 ||
      fstat(again.folder.Get(), &folder_st) != 0 || file_st.st_dev != identity.dev ||
      file_st.st_ino != identity.ino || folder_st.st_dev != identity.folderDev ||
      folder_st.st_ino != identity.folderIno)
    return Lookup::kChanged;
  *source = std::move(again);
  return Lookup::kHeld;
}

}  // namespace qxfw::avlib
