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
  // A new open of the same file through /proc, so each opener has its own offset from 0 as
  // with an open by name (archive readers read on from where they are).
  const std::string self = "/proc/self/fd/" + std::to_string(current_.file.Get());
  *fd = open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat opened, held;
  if (*fd >= 0 && (fstat(*fd, &opened) != 0 || fstat(current_.file.Get(), &held) != 0 ||
                   opened.st_dev != held.st_dev || opened.st_ino != held.st_ino)) {
    close(*fd);
    *fd = -1;
  }
  if (*fd < 0) {
    // Without /proc: a duplicate, rewound; its offset is shared with the held descriptor only.
    *fd = fcntl(current_.file.Get(), F_DUPFD_CLOEXEC, 0);
    if (*fd >= 0 && lseek(*fd, 0, SEEK_SET) != 0) {
      close(*fd);
      *fd = -1;
    }
  }
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
  if (auto at = std::find(order_.begin(), order_.end(), path); at != order_.end()) order_.erase(at);
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
