#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qxfw::platform {
namespace {

// The write loop behind WriteAll and PosixFile::WriteAt: write_some(bytes, count, done) writes
// part of what is left and returns like write().
template <typename WriteSome>
bool WriteFully(const void* data, size_t size, WriteSome write_some) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write_some(bytes + done, size - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // no progress and no reason given
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::unique_ptr<PosixFile> PosixFile::OpenExclusive(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.Valid()) return nullptr;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
  return std::unique_ptr<PosixFile>(new PosixFile(std::move(fd)));
}

int64_t PosixFile::ReadAt(uint64_t offset, void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd_.Get(), static_cast<char*>(data) + done, size - done,
                        static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool PosixFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  return WriteFully(data, size, [&](const char* bytes, size_t count, size_t done) {
    return ::pwrite(fd_.Get(), bytes, count, static_cast<off_t>(offset + done));
  });
}

int64_t PosixFile::Size() {
  struct stat st {};
  if (::fstat(fd_.Get(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool PosixFile::Truncate(uint64_t size) {
  return ::ftruncate(fd_.Get(), static_cast<off_t>(size)) == 0;
}

bool PosixFile::Sync() {
  int result;
  do {
    result = ::fdatasync(fd_.Get());
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool ReadWholeFile(const std::string& path, std::string* out, size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  out->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (out->size() + static_cast<size_t>(n) > limit) return false;
    out->append(buffer, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const void* data, size_t size) {
  return WriteFully(data, size, [fd](const char* bytes, size_t count, size_t) {
    return ::write(fd, bytes, count);
  });
}

bool LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool ReplaceFile(const std::string& path, std::string_view text, uint32_t mode) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.Valid()) return false;
  bool written = ::fchmod(fd.Get(), static_cast<mode_t>(mode)) == 0 &&
                 WriteAll(fd.Get(), text.data(), text.size()) && ::fsync(fd.Get()) == 0;
  int error = errno;
  fd.Reset();
  if (written && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  if (written) error = errno;
  ::unlink(temp.c_str());
  errno = error;
  return false;
}

}  // namespace qxfw::platform
