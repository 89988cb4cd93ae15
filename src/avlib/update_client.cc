#include "avlib/update_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <vector>

#include "avlib/http_download.h"
#include "avlib/update_exchange.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/registry_store.h"

namespace qxfw::avlib {
namespace {

using platform::DebugOutput;
using platform::UniqueFd;

constexpr const char* kVersionIni = "dvupdate.ini";
constexpr const char* kVersionSection = "VISION";
constexpr const char* kHighKey = "High_Word";
constexpr const char* kLowKey = "Low_Word";
constexpr const char* kAppList = "appfile.lst";
constexpr const char* kVdbList = "vdbfile.lst";
constexpr uint64_t kMaxListBytes = 4u << 20;
constexpr double kSameStampSeconds = 86.4;

std::mutex g_update_lock;

void StorePort(uint32_t port) {
  platform::RegKey key;
  if (key.Create(platform::RegRoot::kLocalMachine, kPortKey, platform::kKeyAllAccess) ==
          platform::kErrorSuccess &&
      key.SetDword(kPortValue, port) == platform::kErrorSuccess) {
    platform::RegKey user;
    if (user.Open(platform::RegRoot::kCurrentUser, kPortKey, platform::kKeyAllAccess) ==
        platform::kErrorSuccess)
      user.DeleteValue(kPortValue);
    return;
  }
  platform::RegKey user;
  if (user.Create(platform::RegRoot::kCurrentUser, kPortKey, platform::kKeyAllAccess) !=
          platform::kErrorSuccess ||
      user.SetDword(kPortValue, port) != platform::kErrorSuccess)
    DebugOutput("[QXAV] update: the answering port cannot be stored");
}

bool ReadPort(platform::RegRoot root, uint32_t* port) {
  uint32_t value = 0;
  if (!platform::RegReadValue(root, kPortKey, kPortValue, reinterpret_cast<char*>(&value),
                              sizeof value))
    return false;
  *port = value;
  return true;
}

bool Resolve(const std::string& host, in_addr* address) {
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

using Clock = std::chrono::steady_clock;

int64_t MsLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// Waits for events on fd for at most wait_ms and never past deadline. 1 ready, 0 the wait
// ended, -2 the deadline passed, -1 an error.
int WaitFor(int fd, short events, int wait_ms, Clock::time_point deadline) {
  for (;;) {
    const int64_t left = MsLeft(deadline);
    if (left <= 0) return -2;
    pollfd p{fd, events, 0};
    const int timeout = static_cast<int>(std::min<int64_t>(wait_ms, left));
    int ready = poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) return timeout == left ? -2 : 0;
    return 1;
  }
}

// One question to one port, within the question's deadline. Returns kUpdateNothing when an
// answer arrived.
int32_t AskOnce(const std::string& host, uint16_t port, int timeout_ms, Clock::time_point deadline,
                std::string* plain, bool* fatal) {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock.Valid()) {
    DebugOutput("3 : getsocket failaure**************");
    *fatal = true;
    return kUpdateNoConnection;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!Resolve(host, &to.sin_addr)) return kUpdateNoConnection;
  if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS || WaitFor(sock.Get(), POLLOUT, timeout_ms, deadline) != 1)
      return kUpdateNoConnection;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(sock.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
      return kUpdateNoConnection;
  }
  const std::string question = EncodeExchange(kUpdateQuestion);
  for (size_t sent = 0; sent < question.size();) {
    if (WaitFor(sock.Get(), POLLOUT, timeout_ms, deadline) != 1) return kUpdateNoConnection;
    ssize_t n = send(sock.Get(), question.data() + sent, question.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return kUpdateNoConnection;
    sent += static_cast<size_t>(n);
  }

  // The answer may come in pieces: read until the server closes, the bound is reached, or a
  // wait times out after something arrived. The deadline ends the question whatever came.
  char buffer[kMaxAnswerBytes];
  size_t have = 0;
  while (have < sizeof buffer) {
    int ready = WaitFor(sock.Get(), POLLIN, timeout_ms, deadline);
    if (ready == -2) {
      DebugOutput("[QXAV] update: the server did not answer in time");
      return kUpdateNoConnection;
    }
    if (ready != 1) {
      if (have == 0) return kUpdateNoConnection;
      break;
    }
    ssize_t got = recv(sock.Get(), buffer + have, sizeof buffer - have, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      if (have == 0) return kUpdateNoConnection;
      break;
    }
    if (got == 0) {
      if (have == 0) return kUpdateServerClosed;
      break;
    }
    have += static_cast<size_t>(got);
  }
  StorePort(port);
  *plain = DecodeExchange(std::string_view(buffer, have));
  return kUpdateNothing;
}

// Stage 1: the two attempts over the port pair, both within one deadline.
int32_t AskServer(const UpdateOptions& options, const std::string& host, std::string* plain) {
  uint32_t stored = 0;
  if (!ReadPort(platform::RegRoot::kCurrentUser, &stored))
    ReadPort(platform::RegRoot::kLocalMachine, &stored);
  uint16_t ports[2] = {options.primary_port, options.alternate_port};
  if (stored == options.alternate_port) std::swap(ports[0], ports[1]);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(options.limits.question_deadline_ms);
  int32_t result = kUpdateNothing;
  for (uint16_t port : ports) {
    DebugOutput("2 : change port number**************");
    bool fatal = false;
    result = AskOnce(host, port, options.timeout_ms, deadline, plain, &fatal);
    if (result == kUpdateNothing || fatal || MsLeft(deadline) <= 0) break;
  }
  return result;
}

// One list line; a line too long for the 511-character line buffer is counted but never used.
struct ListText {
  std::string text;
  bool too_long = false;
};

bool IsVdbName(const std::string& name) {
  return name.size() >= 4 && strcasecmp(name.c_str() + name.size() - 4, ".vdb") == 0;
}

// Every "*.vdb" of the engine folder except the names in keep.
void PurgeOtherVdb(const std::string& folder, const std::set<std::string>& keep) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return;
  std::vector<std::string> doomed;
  while (dirent* item = readdir(dir.get())) {
    std::string name = item->d_name;
    if (keep.count(name) || name[0] == '.' || !IsVdbName(name)) continue;
    doomed.push_back(name);
  }
  for (const std::string& name : doomed) {
    if (unlink((folder + "/" + name).c_str()) != 0)
      DebugOutput("[QXAV] update: %s/%s cannot be removed", folder.c_str(), name.c_str());
  }
}

// The staging folder: made afresh (mode 0700) and emptied, so what a killed update left
// behind is gone. Never followed through a link.
bool PrepareStaging(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(path.c_str());
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  UniqueFd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.Valid() || fstat(dir.Get(), &st) != 0 || st.st_uid != geteuid()) return false;
  fchmod(dir.Get(), 0700);
  std::unique_ptr<DIR, int (*)(DIR*)> listing(fdopendir(dup(dir.Get())), closedir);
  if (!listing) return false;
  std::vector<std::string> names;
  while (dirent* item = readdir(listing.get())) {
    std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  bool empty = true;
  for (const std::string& name : names) {
    if (unlinkat(dir.Get(), name.c_str(), 0) != 0 &&
        unlinkat(dir.Get(), name.c_str(), AT_REMOVEDIR) != 0)
      empty = false;
  }
  return empty;
}

void RemoveStaging(const std::string& path) {
  PrepareStaging(path);
  rmdir(path.c_str());
}

// One file to fetch: its list's word, the entry, its local name and its place in list order.
struct Fetch {
  std::string word;
  ListEntry entry;
  std::string local_name;
  size_t order = 0;
};

class UpdateRun {
 public:
  UpdateRun(const UpdateOptions& options, const ServerAnswer& answer, std::vector<UpdateKey> keys)
      : options_(options),
        answer_(answer),
        keys_(std::move(keys)),
        folder_(options.engine_folder),
        staging_(folder_ + "/" + kUpdateStaging),
        deadline_(Clock::now() + std::chrono::milliseconds(options.limits.budget_ms)) {}

  ~UpdateRun() { RemoveStaging(staging_); }

  int32_t Run(bool both) {
    if (keys_.empty()) {
      DebugOutput("[QXAV] update: no update key is configured, nothing is taken");
      return kUpdateFailed;
    }
    if (!PrepareStaging(staging_)) {
      DebugOutput("[QXAV] update: the staging folder %s cannot be prepared", staging_.c_str());
      return kUpdateFailed;
    }
    std::vector<ListText> app_lines, vdb_lines;
    if (both && !FetchList(answer_.high, kAppList, &app_lines)) return kUpdateFailed;
    if (!FetchList(answer_.low, kVdbList, &vdb_lines)) return kUpdateFailed;
    if (options_.progress && options_.progress->set_range)
      options_.progress->set_range(static_cast<int32_t>(app_lines.size() + vdb_lines.size()));
    if (both) Plan(app_lines, answer_.high);
    Plan(vdb_lines, answer_.low);
    if (!CheckSizes()) return kUpdateFailed;
    for (const Fetch& fetch : fetches_) {
      if (!Download(fetch)) return kUpdateFailed;
    }
    return Commit() ? static_cast<int32_t>(fetches_.size()) : kUpdateFailed;
  }

 private:
  DownloadLimits Limits(uint64_t max_bytes, bool exact) const {
    DownloadLimits limits;
    limits.max_bytes = max_bytes;
    limits.exact = exact;
    limits.min_rate_bytes = options_.limits.min_rate_bytes;
    limits.min_rate_seconds = options_.limits.min_rate_seconds;
    limits.total_timeout_ms = static_cast<long>(std::max<int64_t>(0, MsLeft(deadline_)));
    return limits;
  }

  bool Get(const std::string& url, const std::string& target, uint64_t max_bytes, bool exact) {
    if (MsLeft(deadline_) <= 0) {
      DebugOutput("[QXAV] update: the update ran out of time");
      return false;
    }
    std::string why;
    if (DownloadToFile(url, target, Limits(max_bytes, exact), &why)) return true;
    DebugOutput("[QXAV] update: %s failed: %s", url.c_str(), why.c_str());
    return false;
  }

  // The signature of url, downloaded beside the staged files under a name no list can give.
  bool GetSignature(const std::string& url, std::string* signature) {
    const std::string target = staging_ + "/.signature";
    bool got = Get(url + kSignatureSuffix, target, kUpdateSignatureBytes, true) &&
               platform::ReadWholeFile(target, signature, kUpdateSignatureBytes);
    unlink(target.c_str());
    return got;
  }

  bool FetchList(const std::string& word, const char* leaf, std::vector<ListText>* lines) {
    const std::string local = staging_ + "/" + leaf;
    const std::string url = answer_.base + word + "/" + kListPage;
    std::string text, signature;
    if (!Get(url, local, kMaxListBytes, false) ||
        !platform::ReadWholeFile(local, &text, kMaxListBytes))
      return false;
    if (!GetSignature(url, &signature) ||
        !VerifyUpdateSignature(keys_, ListStatement(word, text), signature)) {
      DebugOutput("[QXAV] update: list %s refused: not signed by a trusted key", url.c_str());
      return false;
    }
    SplitLines(text, lines);
    return true;
  }

  // Walks a verified list: which entries are taken, which need fetching, where "Dvbase.vdb"
  // supersedes the databases before it.
  void Plan(const std::vector<ListText>& lines, const std::string& word) {
    for (const ListText& line : lines) {
      if (options_.progress && options_.progress->step) options_.progress->step();
      ListEntry entry;
      if (line.too_long) continue;
      ListLine kind = ParseListLine(line.text, &entry);
      if (kind == ListLine::kEnd) break;
      if (kind != ListLine::kEntry) continue;
      if (!ListedNameIsSafe(entry.name)) {
        DebugOutput("[QXAV] update: listed name refused: %s", entry.name.c_str());
        continue;
      }
      if (!UpdateAcceptsName(entry.name, options_.basic)) continue;
      const size_t order = ++taken_;
      std::string local_name = LocalUpdateName(entry.name);
      after_base_.insert(local_name);
      if (IsCurrent(folder_ + "/" + local_name, entry)) continue;
      if (strcasecmp(entry.name.c_str(), "Dvbase.vdb") == 0) {
        base_order_ = order;
        after_base_ = {local_name};
      }
      // A name listed twice is fetched once, as its last listing says.
      std::erase_if(fetches_, [&](const Fetch& f) { return f.local_name == local_name; });
      fetches_.push_back({word, entry, std::move(local_name), order});
    }
  }

  bool CheckSizes() const {
    unsigned __int128 total = 0;
    for (const Fetch& fetch : fetches_) {
      if (fetch.entry.size > options_.limits.max_file_bytes) {
        DebugOutput("[QXAV] update: %s is listed with %llu bytes, more than the %llu allowed",
                    fetch.entry.name.c_str(), static_cast<unsigned long long>(fetch.entry.size),
                    static_cast<unsigned long long>(options_.limits.max_file_bytes));
        return false;
      }
      total += fetch.entry.size;
    }
    struct statvfs fs;
    if (statvfs(staging_.c_str(), &fs) != 0) return false;
    const unsigned __int128 free_bytes = static_cast<unsigned __int128>(fs.f_bavail) * fs.f_frsize;
    if (total + options_.limits.free_space_reserve > free_bytes) {
      DebugOutput("[QXAV] update: %llu bytes to fetch do not fit the free space of %s",
                  static_cast<unsigned long long>(total), folder_.c_str());
      return false;
    }
    return true;
  }

  bool Download(const Fetch& fetch) {
    const std::string staged = staging_ + "/" + fetch.local_name;
    if (options_.progress && options_.progress->show)
      options_.progress->show(folder_ + "/" + fetch.local_name);
    const std::string url = answer_.base + fetch.word + "/" + EscapeUrlPart(fetch.entry.name);
    if (!Get(url, staged, fetch.entry.size, true)) return false;
    std::array<uint8_t, 32> sha256;
    uint64_t size = 0;
    std::string signature;
    if (!HashFile(staged, &sha256, &size) || !GetSignature(url, &signature) ||
        !VerifyUpdateSignature(keys_, FileStatement(fetch.word, fetch.entry.name, size, sha256),
                               signature)) {
      DebugOutput("[QXAV] update: %s refused: not signed by a trusted key", url.c_str());
      return false;
    }
    timespec times[2] = {{fetch.entry.stamp, 0}, {fetch.entry.stamp, 0}};
    utimensat(AT_FDCWD, staged.c_str(), times, 0);
    return true;
  }

  // Everything arrived and verified: renames first, then the removals "Dvbase.vdb" asks for.
  bool Commit() {
    for (const Fetch& fetch : fetches_) {
      const bool superseded = fetch.order < base_order_ && IsVdbName(fetch.local_name);
      if (superseded) continue;
      const std::string local = folder_ + "/" + fetch.local_name;
      if (rename((staging_ + "/" + fetch.local_name).c_str(), local.c_str()) != 0) {
        DebugOutput("[QXAV] update: %s cannot be put in place", local.c_str());
        return false;
      }
      if (strcasecmp(fetch.entry.name.c_str(), "Recovery.exe") == 0)
        DebugOutput("[QXAV] update: recovery program %s downloaded and not started", local.c_str());
    }
    if (base_order_ != 0) PurgeOtherVdb(folder_, after_base_);
    return true;
  }

  static void SplitLines(const std::string& text, std::vector<ListText>* lines) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // Lines that do not fit the 511-character line buffer are dropped whole.
      const bool too_long = line.size() >= kMaxListLine;
      lines->push_back({too_long ? std::string() : std::move(line), too_long});
      start = end + 1;
    }
  }

  static bool IsCurrent(const std::string& local, const ListEntry& entry) {
    struct stat st;
    if (stat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    double apart = std::abs(static_cast<double>(st.st_mtime) - static_cast<double>(entry.stamp));
    return apart <= kSameStampSeconds && static_cast<uint64_t>(st.st_size) == entry.size;
  }

  const UpdateOptions& options_;
  const ServerAnswer& answer_;
  const std::vector<UpdateKey> keys_;
  const std::string folder_;
  const std::string staging_;
  const Clock::time_point deadline_;
  std::vector<Fetch> fetches_;
  size_t taken_ = 0;
  size_t base_order_ = 0;             // place of a fetched "Dvbase.vdb", 0 for none
  std::set<std::string> after_base_;  // local names from "Dvbase.vdb" on: kept by its purge
};

// A configuration file another user could have written is not used.
bool TrustedByCaller(const struct stat& st) {
  return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & 022) == 0;
}

int32_t RunLocked(const UpdateOptions& options) {
  if (options.engine_folder.empty()) return kUpdateFailed;
  const UpdateSettings settings = ReadUpdateSettings(options.settings_folder);
  const std::string host = options.server.empty() ? settings.server : options.server;
  if (host.empty()) {
    DebugOutput("[QXAV] update: no update server is configured");
    return kUpdateNoConnection;
  }
  std::string plain;
  int32_t result = AskServer(options, host, &plain);
  if (result != kUpdateNothing) return result;
  ServerAnswer answer;
  switch (ParseServerAnswer(plain, &answer)) {
    case AnswerKind::kNotAnAnswer:
      return kUpdateNothing;
    case AnswerKind::kMalformed:
      DebugOutput("[QXAV] update: the server's answer is malformed");
      return kUpdateNothing;
    case AnswerKind::kAnswer:
      break;
  }

  const std::string folder = options.engine_folder;
  platform::IniFile ini(folder + "/" + kVersionIni);
  const std::string high = ini.GetString(kVersionSection, kHighKey, "\n");
  const std::string low = ini.GetString(kVersionSection, kLowKey, "\n");
  const bool high_changed = high != answer.high;
  const bool low_changed = high_changed || low != answer.low;

  unlink((folder + "/" + kAppList).c_str());
  unlink((folder + "/" + kVdbList).c_str());
  if (!low_changed) return kUpdateNothing;
  if (options.check_only) return kUpdateAvailable;

  std::vector<UpdateKey> keys = PinnedUpdateKeys();
  keys.insert(keys.end(), settings.keys.begin(), settings.keys.end());
  keys.insert(keys.end(), options.keys.begin(), options.keys.end());
  result = UpdateRun(options, answer, std::move(keys)).Run(high_changed);
  if (result < 0) return result;
  // Every listed file is in place: only now do the words move on.
  if (!ini.WriteEntries(
          {{kVersionSection, kHighKey, answer.high}, {kVersionSection, kLowKey, answer.low}})) {
    DebugOutput("[QXAV] update: %s cannot be written", ini.path().c_str());
  }
  return result;
}

}  // namespace

UpdateSettings ReadUpdateSettings(const std::string& settings_folder) {
  UpdateSettings settings;
  if (settings_folder.empty()) return settings;
  const std::string path = settings_folder + "/dvscan.ini";
  struct stat file, folder;
  if (lstat(path.c_str(), &file) != 0) return settings;
  if (!S_ISREG(file.st_mode) || !TrustedByCaller(file) ||
      stat(settings_folder.c_str(), &folder) != 0 || !TrustedByCaller(folder)) {
    DebugOutput("[QXAV] update: %s may be written by another user and is not used", path.c_str());
    return settings;
  }
  platform::IniFile ini(path);
  settings.server = ini.GetString("update", "serverIP", "");
  if (!ParseUpdateKeys(ini.GetString("update", "keys", ""), &settings.keys)) {
    DebugOutput("[QXAV] update: %s names a malformed key, its keys are not used", path.c_str());
    settings.keys.clear();
  }
  return settings;
}

std::vector<UpdateKey> PinnedUpdateKeys() {
  std::vector<UpdateKey> keys;
#ifdef QXAV_PINNED_UPDATE_KEYS
  ParseUpdateKeys(QXAV_PINNED_UPDATE_KEYS, &keys);
#endif
  return keys;
}

int32_t RunUpdate(const UpdateOptions& options) {
  std::lock_guard<std::mutex> hold(g_update_lock);
  return RunLocked(options);
}

uint32_t StoredUpdatePort() {
  uint32_t port = 0;
  if (!ReadPort(platform::RegRoot::kCurrentUser, &port))
    ReadPort(platform::RegRoot::kLocalMachine, &port);
  return port;
}

}  // namespace qxfw::avlib
