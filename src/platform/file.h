// Files: an owning descriptor, the small random-access interface the rule store uses, and the
// whole-file reads, writes and atomic replacements the INI and registry modules share.
//
// Every access of the store goes through RandomAccessFile so tests can substitute a file that
// fails after some bytes. PosixFile opens with "no sharing": an exclusive flock taken at open
// and given up at close, so a second opener (this process or another) fails with EWOULDBLOCK.
// A file object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qxfw::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  // Reads up to size bytes at offset; returns the count read (0 at or past the end), -1 on error.
  virtual int64_t ReadAt(uint64_t offset, void* data, size_t size) = 0;
  // Writes all size bytes at offset; false on any error or short write.
  virtual bool WriteAt(uint64_t offset, const void* data, size_t size) = 0;
  // Current size in bytes, -1 on error.
  virtual int64_t Size() = 0;
  // Cuts (or extends with zeros) the file to size bytes.
  virtual bool Truncate(uint64_t size) = 0;
  // Makes what was written so far durable (fdatasync); false when the device reports an error.
  virtual bool Sync() = 0;
};

class PosixFile : public RandomAccessFile {
 public:
  // Opens path for reading and writing, creating it (mode 0600) when missing, and takes an
  // exclusive lock. Returns null with errno set when the file cannot be opened or is held.
  static std::unique_ptr<PosixFile> OpenExclusive(const std::string& path);

  int64_t ReadAt(uint64_t offset, void* data, size_t size) override;
  bool WriteAt(uint64_t offset, const void* data, size_t size) override;
  int64_t Size() override;
  bool Truncate(uint64_t size) override;
  bool Sync() override;

 private:
  explicit PosixFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// Reads a whole (small) file into out; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* out, size_t limit = 64u << 20);

// Writes all size bytes to fd, going on after interrupted and short writes; false (errno set)
// on any error.
bool WriteAll(int fd, const void* data, size_t size);

// Waits for an exclusive flock on fd; false (errno set) on an error other than an interruption.
bool LockExclusive(int fd);

// Replaces path with text in one step: the text goes to a temporary file beside it, which is
// synced and renamed over path, so readers see the old or the new file, never a part. An
// existing file keeps its permission bits; a new one gets mode. On failure errno tells why, the
// temporary is gone and path is untouched. Callers serialise writers themselves.
bool ReplaceFile(const std::string& path, std::string_view text, uint32_t mode);

}  // namespace qxfw::platform
