#include "avlib/host_io_table.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "avlib/file_scanner.h"
#include "avlib/scanned_files.h"

namespace qxfw::avlib {
namespace {

using dvengine::HostFn0;

const char* Text(intptr_t value) {
  return reinterpret_cast<const char*>(value);
}

int Fd(intptr_t handle) {
  return handle < 0 || handle > INT32_MAX ? -1 : static_cast<int>(handle);
}

intptr_t Zero(intptr_t) {
  return 0;
}
intptr_t MinusOne0(intptr_t) {
  return -1;
}
intptr_t MinusOne1(intptr_t, intptr_t) {
  return -1;
}
intptr_t MinusOne2(intptr_t, intptr_t, intptr_t) {
  return -1;
}
intptr_t MinusOne4(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
  return -1;
}
intptr_t MinusOne5(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
  return -1;
}
intptr_t MinusOne6(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
  return -1;
}
intptr_t One3(intptr_t, intptr_t, intptr_t, intptr_t) {
  return 1;
}
intptr_t Zero3(intptr_t, intptr_t, intptr_t, intptr_t) {
  return 0;
}
intptr_t Zero4(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
  return 0;
}
intptr_t Nothing1(intptr_t, intptr_t) {
  return 0;
}

intptr_t Allocate(intptr_t, intptr_t size) {
  if (size < 0) return -1;
  void* block = std::calloc(1, size == 0 ? 1 : static_cast<size_t>(size));
  return block == nullptr ? -1 : reinterpret_cast<intptr_t>(block);
}

intptr_t Free(intptr_t, intptr_t block) {
  if (block != 0 && block != -1) std::free(reinterpret_cast<void*>(block));
  return 0;
}

// "No sharing": an exclusive lock that a second opener cannot get.
intptr_t Create(intptr_t, intptr_t path) {
  if (path == 0) return -1;
  int fd = open(Text(path), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

intptr_t Open(intptr_t, intptr_t path, intptr_t mode) {
  static const int kFlags[] = {O_RDONLY, O_WRONLY, O_RDWR};
  if (path == 0 || mode < 0 || mode > 2) return -1;
  // The file being scanned is read from the descriptor the scan holds, never reopened by name.
  int held = -1;
  if (CScannedFiles::Get().Reopen(Text(path), mode, &held)) return held < 0 ? -1 : held;
  int fd = open(Text(path), kFlags[mode] | O_CLOEXEC);
  return fd < 0 ? -1 : fd;
}

intptr_t Close(intptr_t, intptr_t handle) {
  if (handle == 0) return 0;
  int fd = Fd(handle);
  return fd >= 0 && close(fd) == 0 ? 0 : -1;
}

intptr_t Read(intptr_t, intptr_t handle, intptr_t buffer, intptr_t length) {
  if (buffer == 0 || length < 0) return -1;
  ssize_t n;
  do {
    n = read(Fd(handle), reinterpret_cast<void*>(buffer), static_cast<size_t>(length));
  } while (n < 0 && errno == EINTR);
  return n;
}

intptr_t Write(intptr_t, intptr_t handle, intptr_t buffer, intptr_t length) {
  if (buffer == 0 || length < 0) return -1;
  ssize_t n;
  do {
    n = write(Fd(handle), reinterpret_cast<const void*>(buffer), static_cast<size_t>(length));
  } while (n < 0 && errno == EINTR);
  return n;
}

intptr_t Seek(intptr_t handle, off_t offset, int whence) {
  off_t position = lseek(Fd(handle), offset, whence);
  return position < 0 ? -1 : static_cast<intptr_t>(position);
}

intptr_t SeekStart(intptr_t, intptr_t handle) {
  return Seek(handle, 0, SEEK_SET);
}
intptr_t SeekEnd(intptr_t, intptr_t handle) {
  return Seek(handle, 0, SEEK_END);
}
intptr_t SeekAbsolute(intptr_t, intptr_t handle, intptr_t position) {
  return position < 0 ? -1 : Seek(handle, position, SEEK_SET);
}
intptr_t SeekRelative(intptr_t, intptr_t handle, intptr_t offset) {
  return Seek(handle, offset, SEEK_CUR);
}
intptr_t SeekFromEnd(intptr_t, intptr_t handle, intptr_t offset) {
  return Seek(handle, offset, SEEK_END);
}

intptr_t FileSize(intptr_t, intptr_t handle) {
  struct stat info;
  if (fstat(Fd(handle), &info) != 0) return -1;
  return static_cast<intptr_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
}

intptr_t Rename(intptr_t, intptr_t from, intptr_t to) {
  if (from == 0 || to == 0) return -1;
  return rename(Text(from), Text(to)) == 0 ? 0 : -1;
}

intptr_t Truncate(intptr_t, intptr_t handle, intptr_t position) {
  if (position < 0 || lseek(Fd(handle), position, SEEK_SET) < 0) return -1;
  return ftruncate(Fd(handle), position) == 0 ? 0 : -1;
}

intptr_t Delete(intptr_t, intptr_t path) {
  if (path == 0) return -1;
  return unlink(Text(path)) == 0 ? 0 : -1;
}

// DOS date: bits 15-9 year since 1980, 8-5 month, 4-0 day; DOS time: 15-11 hour,
// 10-5 minute, 4-0 seconds / 2. Local time, as the engine expects.
intptr_t GetTime(intptr_t, intptr_t handle, intptr_t datePointer, intptr_t timePointer) {
  uint16_t date = 0, time = 0;
  struct stat info;
  struct tm local;
  if (fstat(Fd(handle), &info) == 0 && localtime_r(&info.st_mtime, &local) != nullptr &&
      local.tm_year >= 80 && local.tm_year < 80 + 128) {
    date = uint16_t((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    time = uint16_t(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
  }
  if (datePointer != 0) std::memcpy(reinterpret_cast<void*>(datePointer), &date, 2);
  if (timePointer != 0) std::memcpy(reinterpret_cast<void*>(timePointer), &time, 2);
  return 0;
}

intptr_t SetTime(intptr_t, intptr_t handle, intptr_t date, intptr_t time) {
  if (date == 0 && time == 0) return 0;
  struct tm local {};
  local.tm_year = int((date >> 9) & 0x7F) + 80;
  local.tm_mon = int((date >> 5) & 0xF) - 1;
  local.tm_mday = int(date & 0x1F);
  local.tm_hour = int((time >> 11) & 0x1F);
  local.tm_min = int((time >> 5) & 0x3F);
  local.tm_sec = int(time & 0x1F) * 2;
  local.tm_isdst = -1;
  time_t when = mktime(&local);
  if (when == time_t(-1)) return 0;
  struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
  futimens(Fd(handle), times);
  return 0;
}

// The attribute bits the engine knows: read-only 0x1, folder 0x10, normal 0x80.
intptr_t GetAttributes(intptr_t, intptr_t path) {
  struct stat info;
  if (path == 0 || stat(Text(path), &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) return 0x10;
  return (info.st_mode & S_IWUSR) == 0 ? 0x1 : 0x80;
}

intptr_t SetAttributes(intptr_t, intptr_t path, intptr_t attributes) {
  struct stat info;
  if (path == 0 || stat(Text(path), &info) != 0) return -1;
  mode_t mode = info.st_mode & 07777;
  mode = (attributes & 0x1) != 0 ? mode & ~mode_t(0222) : mode | S_IWUSR;
  return chmod(Text(path), mode) == 0 ? 0 : -1;
}

// An unpredictable name in the current folder, created exclusively.
intptr_t TempFile(intptr_t, intptr_t buffer) {
  if (buffer == 0) return -1;
  char name[] = "./DveXXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return -1;
  std::memcpy(reinterpret_cast<char*>(buffer), name, sizeof(name));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    unlink(name);
    return -1;
  }
  return fd;
}

intptr_t Query(intptr_t, intptr_t what, intptr_t) {
  return CFileScanner::Get().HostQuery(what);
}

template <typename F>
HostIoEntry E(F function, int32_t count) {
  return HostIoEntry{reinterpret_cast<void*>(function), count};
}

struct Table {
  HostIoEntry entries[dvengine::kHostIoCount];
  Table() {
    for (auto& entry : entries) entry = HostIoEntry{nullptr, 0};
    entries[0] = E(&Zero, 0);
    entries[1] = E(&Allocate, 1);
    entries[2] = E(&Free, 1);
    entries[3] = E(&Create, 1);
    entries[4] = E(&Open, 2);
    entries[5] = E(&Close, 1);
    entries[6] = E(&Read, 3);
    entries[7] = E(&Write, 3);
    entries[8] = E(&SeekStart, 1);
    entries[9] = E(&SeekEnd, 1);
    entries[10] = E(&SeekAbsolute, 2);
    entries[11] = E(&SeekRelative, 2);
    entries[12] = E(&SeekFromEnd, 2);
    entries[13] = E(&FileSize, 1);
    entries[14] = E(&Rename, 2);
    entries[15] = E(&Truncate, 2);
    entries[16] = E(&Delete, 1);
    entries[17] = E(&GetTime, 3);
    entries[18] = E(&SetTime, 3);
    entries[19] = E(&GetAttributes, 1);
    entries[20] = E(&SetAttributes, 2);
    entries[21] = E(&MinusOne5, 5);
    entries[22] = E(&MinusOne6, 6);
    entries[23] = E(&MinusOne6, 6);
    entries[24] = E(&MinusOne5, 5);
    entries[25] = E(&MinusOne0, 0);
    entries[26] = E(&MinusOne0, 0);
    entries[27] = E(&TempFile, 1);
    entries[30] = E(&One3, 3);
    entries[31] = E(&Zero3, 3);
    entries[32] = E(&Query, 2);
    entries[33] = E(&MinusOne1, 1);
    entries[34] = E(&MinusOne0, 0);
    entries[35] = E(&Zero4, 4);
    entries[36] = E(&Zero, 0);
    for (int i : {37, 38, 40, 41, 42, 43}) entries[i] = E(&MinusOne4, 4);
    entries[39] = E(&MinusOne2, 2);
    entries[44] = E(&MinusOne0, 0);
    entries[45] = E(&MinusOne0, 0);
    for (int i : {46, 50, 55}) entries[i] = E(&MinusOne2, 2);
    for (int i : {47, 48, 49, 51, 53}) entries[i] = E(&MinusOne1, 1);
    entries[52] = E(&Nothing1, 1);
    entries[54] = E(&MinusOne0, 0);
  }
};

}  // namespace

const HostIoEntry* HostIoTable() {
  static const Table table;
  return table.entries;
}

}  // namespace qxfw::avlib
