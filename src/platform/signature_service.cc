#include "platform/signature_service.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "platform/file.h"
#include "platform/package_db.h"

namespace qxfw::platform {
namespace {

// Program paths seen by one desktop session stay far below this; the bound only keeps a
// stream of unusual paths from growing the cache without end.
constexpr size_t kMaxCacheEntries = 8192;
constexpr int64_t kRefreshIntervalNs = 1000000000;
constexpr int64_t kSettledNs = 1000000000;
constexpr size_t kMaxResultsBytes = 4u << 20;
const std::string kResultsMagic = "qxfw-signatures 1 ";

int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr size_t kReadChunk = 1 << 16;

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int64_t CtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

SignatureService::SignatureService(PackageDb* db) : db_(db), available_(db->Available()) {}

std::string SignatureService::Md5Of(int fd) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return {};
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadChunk]);
  for (;;) {
    ssize_t n = ::read(fd, buffer.get(), kReadChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<size_t>(n)) != 1) return {};
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

void SignatureService::RefreshLocked() {
  int64_t now = MonotonicNs();
  if (now < next_refresh_ns_) return;
  generation_ = db_->Refresh(&fingerprint_);
  next_refresh_ns_ = now + kRefreshIntervalNs;
}

bool SignatureService::LoadResults(const std::string& file) {
  if (!available_) return false;
  std::string text;
  if (!ReadWholeFile(file, &text, kMaxResultsBytes)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  // "qxfw-signatures 1 <fingerprint>" then "<dev> <ino> <size> <mtime> <ctime> <0|1> <path>".
  size_t end = text.find('\n');
  if (end == std::string::npos || text.compare(0, end, kResultsMagic + fingerprint_) != 0) {
    return false;
  }
  std::unordered_map<std::string, Entry> loaded;
  for (size_t at = end + 1; at < text.size();) {
    size_t next = text.find('\n', at);
    if (next == std::string::npos) return false;  // cut short: written by a process that died
    std::string line = text.substr(at, next - at);
    at = next + 1;
    unsigned long long device, inode, is_signed;
    long long size, mtime, ctime;
    int used = 0;
    if (std::sscanf(line.c_str(), "%llu %llu %lld %lld %lld %llu %n", &device, &inode, &size,
                    &mtime, &ctime, &is_signed, &used) != 6 ||
        used <= 0 || static_cast<size_t>(used) >= line.size() || line[used] != '/' ||
        is_signed > 1 || loaded.size() >= kMaxCacheEntries) {
      return false;
    }
    loaded[line.substr(static_cast<size_t>(used))] = Entry{static_cast<dev_t>(device),
                                                           static_cast<ino_t>(inode),
                                                           static_cast<off_t>(size),
                                                           mtime,
                                                           ctime,
                                                           generation_,
                                                           is_signed == 1};
  }
  for (auto& [path, entry] : loaded) cache_.emplace(path, entry);
  changed_ = false;
  return true;
}

bool SignatureService::SaveResults(const std::string& file) {
  if (!available_) return false;
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!changed_) return true;  // the kept file already says all this
    changed_ = false;
    text = kResultsMagic + fingerprint_ + "\n";
    for (const auto& [path, e] : cache_) {
      if (e.generation != generation_ || path.find('\n') != std::string::npos) continue;
      char line[160];
      std::snprintf(line, sizeof(line), "%llu %llu %lld %lld %lld %d ",
                    static_cast<unsigned long long>(e.device),
                    static_cast<unsigned long long>(e.inode), static_cast<long long>(e.size),
                    static_cast<long long>(e.mtime_ns), static_cast<long long>(e.ctime_ns),
                    e.is_signed ? 1 : 0);
      text += line + path + "\n";
    }
  }
  return ReplaceFile(file, text, 0600);
}

bool SignatureService::Matches(const Entry& entry, const struct stat& st) const {
  return entry.device == st.st_dev && entry.inode == st.st_ino && entry.size == st.st_size &&
         entry.mtime_ns == MtimeNs(st) && entry.ctime_ns == CtimeNs(st) &&
         entry.generation == generation_;
}

std::optional<std::string> SignatureService::RecordedMd5Locked(const std::string& path) {
  std::optional<std::string> recorded = db_->RecordedMd5(path);
  if (recorded) return recorded;
  // A link to a packaged file (/usr/bin/python3 -> python3.11) is that file.
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr || path == resolved) return std::nullopt;
  return db_->RecordedMd5(resolved);
}

bool SignatureService::IsSigned(const std::string& path) {
  return Judge(path, nullptr);
}

bool SignatureService::IsSigned(const std::string& path, dev_t device, ino_t inode) {
  const Identity identity{device, inode};
  return Judge(path, &identity);
}

bool SignatureService::Judge(const std::string& path, const Identity* identity) {
  // The file judged must be the one the caller means, before and after it is opened.
  auto same = [identity](const struct stat& st) {
    return identity == nullptr || (st.st_dev == identity->device && st.st_ino == identity->inode);
  };
  if (path.empty() || path.find('/') == std::string::npos) return false;
  if (!available_) return false;

  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !same(st)) return false;
  auto it = cache_.find(path);
  if (it != cache_.end() && Matches(it->second, st)) return it->second.is_signed;

  // Hash what was opened and remember the state of that very file, so a file swapped while
  // it is being read is never cached as signed under its new identity.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || !same(st)) {
    return false;
  }
  std::optional<std::string> recorded = RecordedMd5Locked(path);
  bool is_signed = recorded && Md5Of(fd.Get()) == *recorded;
  struct stat after {};
  bool stable = ::fstat(fd.Get(), &after) == 0 && CtimeNs(after) == CtimeNs(st) &&
                MtimeNs(after) == MtimeNs(st) && after.st_size == st.st_size;
  if (!stable) return false;
  // File times tick coarsely: a file changed within the last moment could change again
  // without any visible difference in its times, so its answer is not kept.
  timespec wall{};
  ::clock_gettime(CLOCK_REALTIME, &wall);
  int64_t wall_ns = static_cast<int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec;
  if (CtimeNs(st) > wall_ns - kSettledNs || MtimeNs(st) > wall_ns - kSettledNs) return is_signed;
  if (cache_.size() >= kMaxCacheEntries) cache_.clear();
  changed_ = true;
  cache_[path] =
      Entry{st.st_dev, st.st_ino, st.st_size, MtimeNs(st), CtimeNs(st), generation_, is_signed};
  return is_signed;
}

namespace {

std::mutex g_load_mutex;
std::atomic<SignatureService*> g_service{nullptr};  // created once, lives to process end

}  // namespace

bool LoadSignatureService() {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  SignatureService* service = g_service.load();
  if (service == nullptr) {
    service = new SignatureService(&PackageDb::Shared());
    g_service.store(service);
  }
  return service->Available();
}

bool IsSigned(const std::string& path) {
  SignatureService* service = g_service.load();
  return service != nullptr && service->IsSigned(path);
}

bool LoadSignatureResults(const std::string& file) {
  SignatureService* service = g_service.load();
  return service != nullptr && service->LoadResults(file);
}

bool SaveSignatureResults(const std::string& file) {
  SignatureService* service = g_service.load();
  return service != nullptr && service->SaveResults(file);
}

bool IsSigned(const std::string& path, dev_t device, ino_t inode) {
  SignatureService* service = g_service.load();
  return service != nullptr && service->IsSigned(path, device, inode);
}

}  // namespace qxfw::platform
