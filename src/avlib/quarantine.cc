#include "avlib/quarantine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "avlib/quarantine_format.h"
#include "platform/debug_output.h"
#include "platform/file.h"

namespace qxfw::avlib {
namespace {

using platform::UniqueFd;
using platform::WriteAll;

constexpr size_t kChunk = 64 * 1024;

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string LeafOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SyncFolder(const std::string& folder) {
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.Valid() && fsync(dir.Get()) == 0;
}

// Adds (or, when restoring, subtracts) the body key to size bytes whose first byte has key
// position k + 1. The keys repeat every 64 bytes, so a block of 64 bytes uses one contiguous
// slice of a doubled key table, which the compiler vectorises.
void ApplyKey(uint8_t* data, size_t size, uint64_t k, bool restore) {
  static const auto kTable = [] {
    std::array<uint8_t, 128> table{};
    for (size_t j = 0; j < table.size(); ++j) table[j] = QuarantineKey(j + 1);
    return table;
  }();
  const uint8_t* keys = kTable.data() + (k % 64);
  size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    if (restore) {
      for (size_t j = 0; j < 64; ++j) data[i + j] = static_cast<uint8_t>(data[i + j] - keys[j]);
    } else {
      for (size_t j = 0; j < 64; ++j) data[i + j] = static_cast<uint8_t>(data[i + j] + keys[j]);
    }
  }
  for (size_t j = 0; i < size; ++i, ++j)
    data[i] =
        restore ? static_cast<uint8_t>(data[i] - keys[j]) : static_cast<uint8_t>(data[i] + keys[j]);
}

// Copies in to out through the body key. Returns the number of bytes copied, or -1 on a read
// or write failure.
int64_t CopyKeyed(int in, int out, bool restore) {
  std::vector<uint8_t> buffer(kChunk);
  uint64_t k = 0;
  for (;;) {
    ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) return static_cast<int64_t>(k);
    ApplyKey(buffer.data(), static_cast<size_t>(got), k, restore);
    k += static_cast<uint64_t>(got);
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) return -1;
  }
}

std::string QuarantineName(const timespec& now, int suffix) {
  char name[48];
  if (suffix == 0) {
    std::snprintf(name, sizeof name, "%.8lx.%.3lx", static_cast<unsigned long>(now.tv_sec),
                  static_cast<unsigned long>(now.tv_nsec / 1000000));
  } else {
    std::snprintf(name, sizeof name, "%.8lx.%.3lx.%d", static_cast<unsigned long>(now.tv_sec),
                  static_cast<unsigned long>(now.tv_nsec / 1000000), suffix);
  }
  return name;
}

// Reads the leading header bytes of an open quarantine file.
bool ReadHeader(int fd, QuarantineHeader* header) {
  char bytes[kMaxHeaderBytes + 1];
  size_t have = 0;
  while (have < sizeof bytes) {
    ssize_t got = pread(fd, bytes + have, sizeof bytes - have, static_cast<off_t>(have));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  return ParseQuarantineHeader(std::string_view(bytes, have), header);
}

}  // namespace

bool ParseQuarantineHeader(std::string_view bytes, QuarantineHeader* header) {
  size_t end = bytes.substr(0, kMaxHeaderBytes + 1).find(kHeaderEnd);
  if (end == std::string_view::npos || end > kMaxHeaderBytes) return false;
  std::string_view text = bytes.substr(0, end);
  size_t bar = text.find(kPathNoteSeparator);
  if (bar == std::string_view::npos) return false;
  header->path.assign(text.substr(0, bar));
  header->note.assign(text.substr(bar + 1));
  header->body_offset = end + 1;
  return true;
}

bool RestoreTargetIsSafe(std::string_view path) {
  if (path.size() < 2 || path.size() > kMaxHeaderBytes || path.front() != '/' || path.back() == '/')
    return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = slash + 1;
  }
  return true;
}

bool Quarantine::DefineBase(std::string_view base) {
  if (base.size() > kMaxQuarantineBase) {
    platform::DebugOutput("[QXAV] quarantine folder refused: longer than %zu characters",
                          kMaxQuarantineBase);
    return false;
  }
  base_.assign(base);
  while (base_.size() > 1 && base_.back() == '/') base_.pop_back();
  return true;
}

std::string Quarantine::Folder() const {
  if (base_.empty()) return {};
  return base_ + "/" + kQuarantineLeaf + "/" + std::to_string(geteuid());
}

bool Quarantine::PrepareFolder(std::string* folder) const {
  *folder = Folder();
  if (folder->empty()) return false;
  std::string leaf_parent = ParentOf(*folder);
  if (mkdir(leaf_parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
  if (mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    platform::DebugOutput("[QXAV] quarantine folder %s is not the caller's own folder",
                          folder->c_str());
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && chmod(folder->c_str(), 0700) != 0) return false;
  return true;
}

bool Quarantine::ToQuarantine(const std::string& path, std::string_view note, std::string* made) {
  if (path.empty() || path.find_first_of("|;") != std::string::npos ||
      path.find('\0') != std::string::npos || path.size() + 1 > kMaxHeaderBytes) {
    platform::DebugOutput("[QXAV] quarantine refused: the path cannot be stored in the header");
    return false;
  }
  if (note.find(kHeaderEnd) != std::string_view::npos) {
    platform::DebugOutput("[QXAV] quarantine refused: the note holds \";\"");
    return false;
  }
  std::string_view cut = note.substr(0, kMaxHeaderBytes - path.size() - 1);
  std::string header = path + kPathNoteSeparator + std::string(cut) + kHeaderEnd;

  std::string folder;
  if (!PrepareFolder(&folder)) return false;

  UniqueFd source(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!source.Valid()) return false;
  struct stat source_st;
  if (fstat(source.Get(), &source_st) != 0 || !S_ISREG(source_st.st_mode)) return false;

  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  std::string target;
  UniqueFd out;
  for (int suffix = 0; suffix <= kMaxSameNameSuffix && !out.Valid(); ++suffix) {
    target = folder + "/" + QuarantineName(now, suffix);
    out.Reset(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.Valid() && errno != EEXIST) return false;
  }
  if (!out.Valid()) return false;

  auto undo = [&] {
    out.Reset();
    unlink(target.c_str());
    return false;
  };
  if (!WriteAll(out.Get(), header.data(), header.size())) return undo();
  int64_t copied = CopyKeyed(source.Get(), out.Get(), false);
  if (copied < 0) return undo();
  struct stat now_st, out_st;
  // The source must not have changed under us, and the copy must hold every byte.
  if (fstat(source.Get(), &now_st) != 0 || now_st.st_size != copied) return undo();
  if (fsync(out.Get()) != 0 || fstat(out.Get(), &out_st) != 0 ||
      static_cast<uint64_t>(out_st.st_size) != header.size() + static_cast<uint64_t>(copied))
    return undo();
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (futimens(out.Get(), times) != 0) return undo();
  if (close(out.Release()) != 0 || !SyncFolder(folder)) {
    unlink(target.c_str());
    return false;
  }
  // The source is unlinked only if the path still names the file we copied.
  struct stat path_st;
  if (lstat(path.c_str(), &path_st) != 0 || path_st.st_dev != source_st.st_dev ||
      path_st.st_ino != source_st.st_ino || unlink(path.c_str()) != 0) {
    unlink(target.c_str());
    return false;
  }
  if (made) *made = target;
  return true;
}

bool Quarantine::Restore(const std::string& quarantine_file) {
  UniqueFd in(open(quarantine_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.Valid()) return false;
  struct stat in_st;
  if (fstat(in.Get(), &in_st) != 0 || !S_ISREG(in_st.st_mode) || in_st.st_uid != geteuid()) {
    platform::DebugOutput("[QXAV] restore refused: %s is not the caller's quarantine file",
                          quarantine_file.c_str());
    return false;
  }
  QuarantineHeader header;
  if (!ReadHeader(in.Get(), &header)) return false;
  if (!RestoreTargetIsSafe(header.path)) {
    platform::DebugOutput("[QXAV] restore refused: unsafe target path in %s",
                          quarantine_file.c_str());
    return false;
  }
  const std::string folder = ParentOf(header.path);
  const std::string leaf = LeafOf(header.path);
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return false;
  struct stat target_st;
  if (fstatat(dir.Get(), leaf.c_str(), &target_st, AT_SYMLINK_NOFOLLOW) == 0 &&
      !S_ISREG(target_st.st_mode)) {
    platform::DebugOutput("[QXAV] restore refused: %s exists and is not a regular file",
                          header.path.c_str());
    return false;
  }
  std::string temp;
  UniqueFd out;
  for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
    temp = "." + leaf.substr(0, 200) + ".qxrestore." + std::to_string(getpid()) + "." +
           std::to_string(attempt);
    out.Reset(openat(dir.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0666));
    if (!out.Valid() && errno != EEXIST) return false;
  }
  if (!out.Valid()) return false;
  auto undo = [&] {
    out.Reset();
    unlinkat(dir.Get(), temp.c_str(), 0);
    return false;
  };
  if (lseek(in.Get(), static_cast<off_t>(header.body_offset), SEEK_SET) < 0) return undo();
  int64_t copied = CopyKeyed(in.Get(), out.Get(), true);
  if (copied < 0) return undo();
  struct stat out_st;
  if (fsync(out.Get()) != 0 || fstat(out.Get(), &out_st) != 0 ||
      out_st.st_size != static_cast<off_t>(in_st.st_size - static_cast<off_t>(header.body_offset)))
    return undo();
  timespec times[2] = {in_st.st_atim, in_st.st_mtim};
  if (futimens(out.Get(), times) != 0) return undo();
  if (close(out.Release()) != 0) {
    unlinkat(dir.Get(), temp.c_str(), 0);
    return false;
  }
  if (renameat(dir.Get(), temp.c_str(), dir.Get(), leaf.c_str()) != 0) {
    unlinkat(dir.Get(), temp.c_str(), 0);
    return false;
  }
  fsync(dir.Get());
  return unlink(quarantine_file.c_str()) == 0;
}

std::vector<QuarantineEntry> Quarantine::List() const {
  std::vector<QuarantineEntry> entries;
  std::string folder = Folder();
  if (folder.empty()) return entries;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return entries;
  while (dirent* item = readdir(dir.get())) {
    if (item->d_name[0] == '.') continue;
    QuarantineEntry entry;
    entry.file = folder + "/" + item->d_name;
    UniqueFd fd(open(entry.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    QuarantineHeader header;
    if (!fd.Valid() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid() || !ReadHeader(fd.Get(), &header))
      continue;
    entry.source = std::move(header.path);
    entry.note = std::move(header.note);
    entry.stored_bytes = static_cast<uint64_t>(st.st_size) - header.body_offset;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const QuarantineEntry& a, const QuarantineEntry& b) { return a.file < b.file; });
  return entries;
}

bool Quarantine::Remove(std::string_view name) const {
  std::string folder = Folder();
  if (folder.empty() || name.empty() || name.find('/') != std::string_view::npos ||
      name.front() == '.' || name.find('\0') != std::string_view::npos)
    return false;
  std::string path = folder + "/" + std::string(name);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
  return unlink(path.c_str()) == 0;
}

}  // namespace qxfw::avlib
