#include "platform/package_db.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/file.h"

namespace qxfw::platform {
namespace {

constexpr std::string_view kListSuffix = ".list";
constexpr size_t kMaxStatusBytes = 256u << 20;
constexpr size_t kMaxInfoFileBytes = 64u << 20;
constexpr char kKeptMagic[] = "qxfw-dpkg-owners 1 ";

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Calls fn(line) for each line of text, without the line end.
template <typename Fn>
void ForEachLine(std::string_view text, Fn&& fn) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    fn(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsHexDigest(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// "install ok installed", "hold ok installed": the third word says the package is in place.
bool IsInstalledStatus(std::string_view status) {
  size_t last = status.rfind(' ');
  return last != std::string_view::npos && status.substr(last + 1) == "installed";
}

std::vector<std::string> MergedDirs() {
  static constexpr const char* kDirs[] = {"bin", "sbin", "lib", "lib32", "lib64", "libx32"};
  std::vector<std::string> merged;
  for (const char* dir : kDirs) {
    std::string alias = std::string("/") + dir;
    char target[64];
    ssize_t n = ::readlink(alias.c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    std::string_view link(target, static_cast<size_t>(n));
    if (link == std::string("usr/") + dir || link == std::string("/usr/") + dir) {
      merged.push_back(std::move(alias));
    }
  }
  return merged;
}

}  // namespace

// A file mapped read-only for its lifetime; empty when it cannot be.
class PackageDb::MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > kMaxStatusBytes) {
      return;
    }
    void* data =
        ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.Get(), 0);
    if (data == MAP_FAILED) return;
    data_ = static_cast<const char*>(data);
    size_ = static_cast<size_t>(st.st_size);
  }
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::string_view Text() const { return std::string_view(data_ != nullptr ? data_ : "", size_); }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// Path -> package of every installed file list. The paths live in one arena so that the
// index of a full desktop system (over 100000 paths) costs little more than their text.
struct PackageDb::Index {
  std::vector<std::string> packages;  // info-file names
  std::string arena;
  std::unordered_map<std::string_view, uint32_t> owner;
};

PackageDb::PackageDb(std::string admin_dir)
    : admin_dir_(std::move(admin_dir)), merged_dirs_(MergedDirs()) {}

PackageDb::~PackageDb() = default;

std::string PackageDb::DefaultAdminDir() {
  const char* dir = std::getenv("QXFW_DPKG_ADMINDIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/var/lib/dpkg");
}

PackageDb& PackageDb::Shared() {
  static PackageDb* shared = new PackageDb(DefaultAdminDir());
  return *shared;
}

bool PackageDb::Available() const {
  struct stat st {};
  return ::stat((admin_dir_ + "/status").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string PackageDb::CanonicalPath(std::string_view path) const {
  for (const std::string& alias : merged_dirs_) {
    if (path.size() >= alias.size() && path.substr(0, alias.size()) == alias &&
        (path.size() == alias.size() || path[alias.size()] == '/')) {
      std::string out = "/usr";
      out += path;
      return out;
    }
  }
  return std::string(path);
}

PackageDb::Stamp PackageDb::ReadStamp() const {
  Stamp stamp;
  struct stat st {};
  if (::stat((admin_dir_ + "/status").c_str(), &st) == 0) {
    stamp.status_mtime = MtimeNs(st);
    stamp.status_size = st.st_size;
    stamp.status_inode = st.st_ino;
  }
  if (::stat((admin_dir_ + "/info").c_str(), &st) == 0) stamp.info_mtime = MtimeNs(st);
  return stamp;
}

void PackageDb::RefreshLocked() {
  Stamp now = ReadStamp();
  if (now == stamp_) return;
  stamp_ = now;
  ++generation_;
  index_.reset();
  md5s_.clear();
  kept_loaded_ = false;
  kept_.reset();
  records_.clear();
  status_loaded_ = false;
}

uint64_t PackageDb::Refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  return generation_;
}

uint64_t PackageDb::Refresh(std::string* fingerprint) {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  *fingerprint = FingerprintLocked();
  return generation_;
}

void PackageDb::LoadStatusLocked() {
  if (status_loaded_) return;
  status_loaded_ = true;
  std::string text;
  if (!ReadWholeFile(admin_dir_ + "/status", &text, kMaxStatusBytes)) return;

  PackageRecord record;
  std::string arch;
  bool installed = false;
  auto finish = [&] {
    if (installed && !record.package.empty()) {
      if (!arch.empty() && arch != "all") records_.emplace(record.package + ":" + arch, record);
      records_.emplace(record.package, record);
    }
    record = PackageRecord();
    arch.clear();
    installed = false;
  };
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty()) {
      finish();
      return;
    }
    if (line.front() == ' ' || line.front() == '\t') return;  // continuation of a field
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view key = line.substr(0, colon);
    std::string_view value = Trim(line.substr(colon + 1));
    if (key == "Package") {
      record.package = value;
    } else if (key == "Status") {
      installed = IsInstalledStatus(value);
    } else if (key == "Version") {
      record.version = value;
    } else if (key == "Maintainer") {
      record.maintainer = value;
    } else if (key == "Description") {
      record.description = value;
    } else if (key == "Architecture") {
      arch = value;
    }
  });
  finish();
}

PackageDb::Index& PackageDb::IndexLocked() {
  if (index_) return *index_;
  index_ = std::make_unique<Index>();
  Index& index = *index_;
  LoadStatusLocked();

  std::string info_dir = admin_dir_ + "/info";
  DIR* dir = ::opendir(info_dir.c_str());
  if (dir == nullptr) return index;
  struct Span {
    uint32_t offset;
    uint32_t size;
    uint32_t package;
  };
  std::vector<Span> spans;
  std::string text;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.size() <= kListSuffix.size() ||
        name.substr(name.size() - kListSuffix.size()) != kListSuffix) {
      continue;
    }
    std::string package(name.substr(0, name.size() - kListSuffix.size()));
    // A list left behind by a removed package does not make its files trusted.
    bool installed = records_.count(package) != 0;
    if (!installed) {
      size_t colon = package.find(':');
      installed = colon != std::string::npos && records_.count(package.substr(0, colon)) != 0;
    }
    if (!installed) continue;
    if (!ReadWholeFile(info_dir + "/" + std::string(name), &text, kMaxInfoFileBytes)) continue;
    uint32_t id = static_cast<uint32_t>(index.packages.size());
    index.packages.push_back(std::move(package));
    ForEachLine(text, [&](std::string_view line) {
      if (line.empty() || line.front() != '/') return;
      size_t offset = index.arena.size();
      index.arena += CanonicalPath(line);
      if (index.arena.size() > UINT32_MAX) return;
      spans.push_back(
          {static_cast<uint32_t>(offset), static_cast<uint32_t>(index.arena.size() - offset), id});
    });
  }
  ::closedir(dir);

  // Views are taken only now: the arena no longer moves.
  index.owner.reserve(spans.size());
  for (const Span& span : spans) {
    index.owner.emplace(std::string_view(index.arena).substr(span.offset, span.size), span.package);
  }
  return index;
}

std::string PackageDb::FingerprintLocked() const {
  return std::to_string(stamp_.status_mtime) + " " + std::to_string(stamp_.status_size) + " " +
         std::to_string(stamp_.status_inode) + " " + std::to_string(stamp_.info_mtime);
}

void PackageDb::KeepIndexIn(std::string file) {
  std::lock_guard<std::mutex> lock(mutex_);
  kept_file_ = std::move(file);
  kept_loaded_ = false;
  kept_.reset();
}

// The kept index: "qxfw-dpkg-owners 1 <fingerprint>\n", then "<path>\t<package>\n" lines
// sorted by path (bytes compared unsigned), one per path.
void PackageDb::LoadKeptLocked() {
  kept_loaded_ = true;
  kept_.reset();
  // Mapped, not read: a lookup touches only the pages of its binary search.
  auto map = std::make_unique<MappedFile>(kept_file_);
  std::string_view text = map->Text();
  const std::string header = std::string(kKeptMagic) + FingerprintLocked() + "\n";
  if (text.size() <= header.size() || text.substr(0, header.size()) != header ||
      text.back() != '\n') {
    return;
  }
  kept_body_ = header.size();
  kept_ = std::move(map);
}

void PackageDb::SaveKeptLocked(const Index& index) {
  std::vector<std::pair<std::string_view, uint32_t>> rows(index.owner.begin(), index.owner.end());
  std::sort(rows.begin(), rows.end());
  std::string text = std::string(kKeptMagic) + FingerprintLocked() + "\n";
  text.reserve(index.arena.size() + rows.size() * 24);
  for (const auto& [path, package] : rows) {
    if (path.find_first_of("\t\n") != std::string_view::npos) continue;
    text.append(path).append(1, '\t').append(index.packages[package]).append(1, '\n');
  }
  ReplaceFile(kept_file_, text, 0600);
}

std::optional<std::string> PackageDb::FindKeptLocked(const std::string& path) const {
  std::string_view text = kept_->Text();
  size_t lo = kept_body_;
  size_t hi = text.size();  // lo and hi are always the starts of lines
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    size_t start = mid == lo ? lo : text.rfind('\n', mid - 1) + 1;
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end - start);
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;  // damaged: nothing is trusted
    int order = line.substr(0, tab).compare(path);
    if (order == 0) return std::string(line.substr(tab + 1));
    if (order < 0) {
      lo = end + 1;
    } else {
      hi = start;
    }
  }
  return std::nullopt;
}

std::optional<std::string> PackageDb::OwnerLocked(std::string_view path) {
  std::string canonical = CanonicalPath(path);
  if (!index_ && !kept_file_.empty()) {
    if (!kept_loaded_) LoadKeptLocked();
    // The kept index was written from installed packages only, for this very status file.
    if (kept_) return FindKeptLocked(canonical);
  }
  const bool fresh = !index_;
  Index& index = IndexLocked();
  if (fresh && !kept_file_.empty()) SaveKeptLocked(index);
  auto it = index.owner.find(canonical);
  if (it == index.owner.end()) return std::nullopt;
  return index.packages[it->second];
}

const std::unordered_map<std::string, std::string>* PackageDb::Md5sLocked(
    const std::string& package) {
  auto found = md5s_.find(package);
  if (found != md5s_.end()) return &found->second;
  auto& sums = md5s_[package];
  std::string text;
  std::string path = admin_dir_ + "/info/" + package + ".md5sums";
  if (package.find('/') != std::string::npos || !ReadWholeFile(path, &text, kMaxInfoFileBytes)) {
    return &sums;
  }
  ForEachLine(text, [&](std::string_view line) {
    // "<32 hex digits><blank><blank or *><path relative to />"
    if (line.size() < 35 || !IsHexDigest(line.substr(0, 32)) || line[32] != ' ') return;
    std::string_view relative = line.substr(34);
    if (relative.empty()) return;
    std::string absolute = "/";
    absolute += relative;
    sums.emplace(CanonicalPath(absolute), LowerAscii(line.substr(0, 32)));
  });
  return &sums;
}

std::optional<std::string> PackageDb::OwnerOf(std::string_view path) {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  return OwnerLocked(path);
}

std::optional<std::string> PackageDb::RecordedMd5(std::string_view path) {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  std::optional<std::string> package = OwnerLocked(path);
  if (!package) return std::nullopt;
  const auto* sums = Md5sLocked(*package);
  auto it = sums->find(CanonicalPath(path));
  if (it == sums->end()) return std::nullopt;
  return it->second;
}

std::optional<PackageRecord> PackageDb::RecordOf(std::string_view package) {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  LoadStatusLocked();
  auto it = records_.find(std::string(package));
  if (it == records_.end()) {
    size_t colon = package.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    it = records_.find(std::string(package.substr(0, colon)));
    if (it == records_.end()) return std::nullopt;
  }
  return it->second;
}

}  // namespace qxfw::platform
