#include "avlib/quarantine.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
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

FolderId IdOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool OwnedByCallerOrRoot(const struct stat& st) {
  return st.st_uid == geteuid() || st.st_uid == 0;
}

// Opens one folder below at without following a link: openat2 refusing every link where the
// kernel has it, else O_NOFOLLOW, which does the same for a single component.
int OpenFolderComponent(int at, const char* name, int flags) {
  static std::atomic<bool> no_openat2{false};
  flags |= O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (!no_openat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    long fd = syscall(SYS_openat2, at, name, &how, sizeof how);
    // Sandboxes that filter the call answer ENOSYS or EPERM; the fallback is as strict.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    no_openat2.store(true, std::memory_order_relaxed);
  }
  return openat(at, name, flags);
}

// The folder that holds a restore target, reached from "/" one component at a time. Every
// folder on the way must be a real folder (no link) owned by the caller or root; the last one
// is made when missing (made says so). why receives the reason of a refusal.
UniqueFd OpenTargetFolder(const std::string& path, bool* made, std::string* why) {
  *made = false;
  UniqueFd at(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!at.Valid()) {
    *why = "\"/\" cannot be opened";
    return {};
  }
  const std::string folder = ParentOf(path);
  size_t start = 1;
  while (start < folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == std::string::npos) slash = folder.size();
    const std::string name = folder.substr(start, slash - start);
    const std::string so_far = folder.substr(0, slash);
    const bool last = slash == folder.size();
    // The last folder is opened for reading so it can be synced after the rename.
    const int flags = last ? O_RDONLY : O_PATH;
    UniqueFd next(OpenFolderComponent(at.Get(), name.c_str(), flags));
    if (!next.Valid() && errno == ENOENT && last) {
      if (mkdirat(at.Get(), name.c_str(), 0777) == 0) *made = true;
      next.Reset(OpenFolderComponent(at.Get(), name.c_str(), flags));
    }
    if (!next.Valid()) {
      int error = errno;
      *why = so_far + (error == ELOOP || error == ENOTDIR ? " is a link or not a folder"
                                                          : ": " + std::string(strerror(error)));
      return {};
    }
    struct stat st;
    if (fstat(next.Get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *why = so_far + " is not a folder";
      return {};
    }
    if (!OwnedByCallerOrRoot(st)) {
      *why = so_far + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
      return {};
    }
    at = std::move(next);
    start = slash + 1;
  }
  if (folder == "/") {
    // A file right in "/": the root folder itself is the target folder.
    at.Reset(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!at.Valid()) *why = "\"/\" cannot be opened";
  }
  return at;
}

// "dir:" dev "." ino, 16 lower-case hex digits each.
std::string FolderIdText(const FolderId& id) {
  char text[kFolderIdBytes + 1];
  std::snprintf(text, sizeof text, "%s%016llx.%016llx", kFolderIdTag,
                static_cast<unsigned long long>(id.dev), static_cast<unsigned long long>(id.ino));
  return text;
}

bool ParseFolderId(std::string_view text, FolderId* id) {
  if (text.size() != kFolderIdBytes || text.substr(0, 4) != kFolderIdTag ||
      text[4 + kFolderIdDigits] != '.')
    return false;
  auto hex = [](std::string_view digits, uint64_t* value) {
    *value = 0;
    for (char c : digits) {
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      *value = *value << 4 | static_cast<uint64_t>(d);
    }
    return true;
  };
  return hex(text.substr(4, kFolderIdDigits), &id->dev) &&
         hex(text.substr(5 + kFolderIdDigits), &id->ino);
}

}  // namespace

bool ParseQuarantineHeader(std::string_view bytes, QuarantineHeader* header) {
  size_t end = bytes.substr(0, kMaxHeaderBytes + 1).find(kHeaderEnd);
  if (end == std::string_view::npos || end > kMaxHeaderBytes) return false;
  std::string_view text = bytes.substr(0, end);
  size_t bar = text.find(kPathNoteSeparator);
  if (bar == std::string_view::npos) return false;
  header->path.assign(text.substr(0, bar));
  std::string_view note = text.substr(bar + 1);
  header->has_folder = false;
  header->folder = {};
  size_t last_bar = note.rfind(kPathNoteSeparator);
  if (last_bar != std::string_view::npos &&
      ParseFolderId(note.substr(last_bar + 1), &header->folder)) {
    header->has_folder = true;
    note = note.substr(0, last_bar);
  }
  header->note.assign(note);
  header->body_offset = end + 1;
  return true;
}

std::string MakeQuarantineHeader(const std::string& path, std::string_view note,
                                 const FolderId& folder) {
  // Room before the ";" after the path and its "|".
  const size_t room = kMaxHeaderBytes - path.size() - 1;
  std::string header = path + kPathNoteSeparator;
  if (room >= 1 + kFolderIdBytes) {
    header.append(note.substr(0, room - 1 - kFolderIdBytes));
    header += kPathNoteSeparator;
    header += FolderIdText(folder);
  } else {
    header.append(note.substr(0, room));
  }
  header += kHeaderEnd;
  return header;
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

namespace {

// The path a restore will write: the held folder's own path (links on the way resolved, as
// a restore follows none) and the leaf; the given path when that cannot be had or stored.
std::string RecordedPath(const std::string& path, const QuarantineSource& source) {
  char buffer[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(source.folder.Get());
  ssize_t size = readlink(self.c_str(), buffer, sizeof buffer);
  if (size <= 0 || static_cast<size_t>(size) >= sizeof buffer) return path;
  std::string folder(buffer, static_cast<size_t>(size));
  struct stat by_path, held;
  // A folder removed since reads as "... (deleted)": the identity check catches it.
  if (folder.front() != '/' || stat(folder.c_str(), &by_path) != 0 ||
      fstat(source.folder.Get(), &held) != 0 || by_path.st_dev != held.st_dev ||
      by_path.st_ino != held.st_ino)
    return path;
  std::string real = (folder == "/" ? "" : folder) + "/" + source.leaf;
  if (real.find_first_of("|;") != std::string::npos || real.size() + 1 > kMaxHeaderBytes ||
      !RestoreTargetIsSafe(real))
    return path;
  return real;
}

}  // namespace

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

bool Quarantine::CheckSourcePath(const std::string& path, std::string_view note) {
  if (path.empty() || path.find_first_of("|;") != std::string::npos ||
      path.find('\0') != std::string::npos || path.size() + 1 > kMaxHeaderBytes) {
    platform::DebugOutput("[QXAV] quarantine refused: the path cannot be stored in the header");
    return false;
  }
  if (note.find(kHeaderEnd) != std::string_view::npos) {
    platform::DebugOutput("[QXAV] quarantine refused: the note holds \";\"");
    return false;
  }
  return true;
}

bool Quarantine::ToQuarantine(const std::string& path, std::string_view note, std::string* made) {
  if (!CheckSourcePath(path, note)) return false;
  QuarantineSource source;
  if (!OpenQuarantineSource(path, false, &source)) {
    platform::DebugOutput("[QXAV] quarantine of %s failed: %s", path.c_str(), strerror(errno));
    return false;
  }
  return ToQuarantine(path, source, note, made);
}

bool Quarantine::ToQuarantine(const std::string& path, QuarantineSource& source,
                              std::string_view note, std::string* made) {
  if (!CheckSourcePath(path, note)) return false;
  struct stat source_st, folder_st;
  if (fstat(source.file.Get(), &source_st) != 0 || !S_ISREG(source_st.st_mode) ||
      fstat(source.folder.Get(), &folder_st) != 0)
    return false;
  if (!SourceNameHolds(source)) {
    platform::DebugOutput("[QXAV] quarantine refused: %s no longer names the file that was read",
                          path.c_str());
    return false;
  }
  const std::string header =
      MakeQuarantineHeader(RecordedPath(path, source), note, IdOf(folder_st));

  std::string folder;
  if (!PrepareFolder(&folder)) return false;

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
  // A scan may have left the shared offset anywhere.
  if (lseek(source.file.Get(), 0, SEEK_SET) != 0) return undo();
  int64_t copied = CopyKeyed(source.file.Get(), out.Get(), false);
  if (copied < 0) return undo();
  struct stat now_st, out_st;
  // The source must not have changed under us, and the copy must hold every byte.
  if (fstat(source.file.Get(), &now_st) != 0 || now_st.st_size != copied) return undo();
  if (fsync(out.Get()) != 0 || fstat(out.Get(), &out_st) != 0 ||
      static_cast<uint64_t>(out_st.st_size) != header.size() + static_cast<uint64_t>(copied))
    return undo();
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (futimens(out.Get(), times) != 0) return undo();
  if (close(out.Release()) != 0 || !SyncFolder(folder)) {
    unlink(target.c_str());
    return false;
  }
  // The name is removed through the folder the file was opened from, and only while it still
  // refers to the file that was copied.
  if (!SourceNameHolds(source) || unlinkat(source.folder.Get(), source.leaf.c_str(), 0) != 0) {
    platform::DebugOutput("[QXAV] quarantine of %s undone: the source could not be removed",
                          path.c_str());
    unlink(target.c_str());
    return false;
  }
  if (made) *made = target;
  return true;
}

bool Quarantine::Restore(const std::string& quarantine_file) {
  auto refuse = [&](const std::string& why) {
    platform::DebugOutput("[QXAV] restore of %s refused: %s", quarantine_file.c_str(), why.c_str());
    return false;
  };
  UniqueFd in(open(quarantine_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.Valid()) return refuse(strerror(errno));
  struct stat in_st;
  if (fstat(in.Get(), &in_st) != 0 || !S_ISREG(in_st.st_mode) || in_st.st_uid != geteuid())
    return refuse("not the caller's quarantine file");
  QuarantineHeader header;
  if (!ReadHeader(in.Get(), &header)) return refuse("the header is damaged");
  if (!RestoreTargetIsSafe(header.path)) return refuse("unsafe target path");
  const std::string leaf = LeafOf(header.path);

  bool made_folder = false;
  std::string why;
  UniqueFd dir = OpenTargetFolder(header.path, &made_folder, &why);
  if (!dir.Valid()) return refuse(why);
  struct stat dir_st;
  if (fstat(dir.Get(), &dir_st) != 0) return refuse(strerror(errno));
  // A folder this restore made is new by nature; one that exists must be the one the file
  // came from, not a folder put in its place since.
  if (header.has_folder && !made_folder && !(IdOf(dir_st) == header.folder))
    return refuse("the folder " + ParentOf(header.path) +
                  " is not the one the file was quarantined from");
  struct stat target_st;
  if (fstatat(dir.Get(), leaf.c_str(), &target_st, AT_SYMLINK_NOFOLLOW) == 0 &&
      (!S_ISREG(target_st.st_mode) || target_st.st_uid != geteuid()))
    return refuse(header.path + " exists and is not a regular file of the caller's");

  std::string temp;
  UniqueFd out;
  for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
    temp = "." + leaf.substr(0, 200) + ".qxrestore." + std::to_string(getpid()) + "." +
           std::to_string(attempt);
    out.Reset(openat(dir.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0666));
    if (!out.Valid() && errno != EEXIST) return refuse(strerror(errno));
  }
  if (!out.Valid()) return refuse("no temporary name is free");
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
  // rename replaces the name itself: a link put at the target is never written through.
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
