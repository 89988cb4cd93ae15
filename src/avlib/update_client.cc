#include "avlib/update_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
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

std::string ServerAddress(const UpdateOptions& options) {
  if (!options.server.empty()) return options.server;
  if (!options.settings_folder.empty()) {
    platform::IniFile ini(options.settings_folder + "/dvscan.ini");
    std::string ip = ini.GetString("update", "serverIP", "");
    if (!ip.empty()) return ip;
  }
  return kDefaultUpdateServer;
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

// One question to one port. Returns kUpdateNothing with *answered set when an answer arrived.
int32_t AskOnce(const std::string& host, uint16_t port, int timeout_ms, std::string* plain,
                bool* fatal) {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) {
    DebugOutput("3 : getsocket failaure**************");
    *fatal = true;
    return kUpdateNoConnection;
  }
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!Resolve(host, &to.sin_addr)) return kUpdateNoConnection;
  if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return kUpdateNoConnection;
  const std::string question = EncodeExchange(kUpdateQuestion);
  if (!platform::WriteAll(sock.Get(), question.data(), question.size())) return kUpdateNoConnection;

  // The answer may come in pieces: read until the server closes, the bound is reached, or a
  // wait times out after something arrived.
  char buffer[kMaxAnswerBytes];
  size_t have = 0;
  while (have < sizeof buffer) {
    ssize_t got = recv(sock.Get(), buffer + have, sizeof buffer - have, 0);
    if (got < 0 && errno == EINTR) continue;
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

// Stage 1: the two attempts over the port pair.
int32_t AskServer(const UpdateOptions& options, std::string* plain) {
  uint32_t stored = 0;
  if (!ReadPort(platform::RegRoot::kCurrentUser, &stored))
    ReadPort(platform::RegRoot::kLocalMachine, &stored);
  uint16_t ports[2] = {options.primary_port, options.alternate_port};
  if (stored == options.alternate_port) std::swap(ports[0], ports[1]);
  const std::string host = ServerAddress(options);
  int32_t result = kUpdateNothing;
  for (uint16_t port : ports) {
    DebugOutput("2 : change port number**************");
    bool fatal = false;
    result = AskOnce(host, port, options.timeout_ms, plain, &fatal);
    if (result == kUpdateNothing || fatal) break;
  }
  return result;
}

// One list line; a line too long for the 511-character line buffer is counted but never used.
struct ListText {
  std::string text;
  bool too_long = false;
};

std::string ReadFileLines(const std::string& path, std::vector<ListText>* lines) {
  std::string text;
  if (!platform::ReadWholeFile(path, &text, kMaxListBytes)) return "cannot read";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    bool last = end == std::string::npos;
    if (last) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Lines that do not fit the 511-character line buffer are dropped whole.
    const bool too_long = line.size() >= kMaxListLine;
    lines->push_back({too_long ? std::string() : std::move(line), too_long});
    start = end + 1;
  }
  return {};
}

void PurgeOtherVdb(const std::string& folder, const std::string& keep) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return;
  std::vector<std::string> doomed;
  while (dirent* item = readdir(dir.get())) {
    std::string name = item->d_name;
    if (name == keep || name.size() < 4 || name[0] == '.') continue;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (tail == ".vdb") doomed.push_back(name);
  }
  for (const std::string& name : doomed) unlink((folder + "/" + name).c_str());
}

class UpdateRun {
 public:
  UpdateRun(const UpdateOptions& options, const ServerAnswer& answer)
      : options_(options), answer_(answer), folder_(options.engine_folder) {}

  int32_t ProcessLists(bool both) {
    std::vector<ListText> app_lines, vdb_lines;
    if (both && !FetchList(answer_.high, kAppList, &app_lines)) return kUpdateFailed;
    if (!FetchList(answer_.low, kVdbList, &vdb_lines)) return kUpdateFailed;
    if (options_.progress && options_.progress->set_range)
      options_.progress->set_range(static_cast<int32_t>(app_lines.size() + vdb_lines.size()));
    if (both && !ProcessList(app_lines, answer_.high)) return kUpdateFailed;
    if (!ProcessList(vdb_lines, answer_.low)) return kUpdateFailed;
    return downloaded_;
  }

 private:
  bool FetchList(const std::string& word, const char* leaf, std::vector<ListText>* lines) {
    const std::string local = folder_ + "/" + leaf;
    DownloadLimits limits;
    limits.max_bytes = kMaxListBytes;
    std::string why;
    const std::string url = answer_.base + word + "/" + kListPage;
    if (!DownloadToFile(url, local, limits, &why)) {
      DebugOutput("[QXAV] update: list %s failed: %s", url.c_str(), why.c_str());
      return false;
    }
    if (!ReadFileLines(local, lines).empty()) return false;
    return true;
  }

  bool ProcessList(const std::vector<ListText>& lines, const std::string& word) {
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
      const std::string local_name = LocalUpdateName(entry.name);
      const std::string local = folder_ + "/" + local_name;
      if (IsCurrent(local, entry)) continue;
      if (options_.progress && options_.progress->show) options_.progress->show(local);
      DownloadLimits limits;
      limits.max_bytes = entry.size;
      limits.exact = true;
      std::string why;
      const std::string url = answer_.base + word + "/" + EscapeUrlPart(entry.name);
      if (!DownloadToFile(url, local, limits, &why)) {
        DebugOutput("[QXAV] update: %s failed: %s", url.c_str(), why.c_str());
        return false;
      }
      timespec times[2] = {{entry.stamp, 0}, {entry.stamp, 0}};
      utimensat(AT_FDCWD, local.c_str(), times, 0);
      ++downloaded_;
      if (strcasecmp(entry.name.c_str(), "Dvbase.vdb") == 0) PurgeOtherVdb(folder_, local_name);
      if (strcasecmp(entry.name.c_str(), "Recovery.exe") == 0)
        DebugOutput("[QXAV] update: recovery program %s downloaded and not started", local.c_str());
    }
    return true;
  }

  static bool IsCurrent(const std::string& local, const ListEntry& entry) {
    struct stat st;
    if (stat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    double apart = std::abs(static_cast<double>(st.st_mtime) - static_cast<double>(entry.stamp));
    return apart <= kSameStampSeconds && static_cast<uint64_t>(st.st_size) == entry.size;
  }

  const UpdateOptions& options_;
  const ServerAnswer& answer_;
  const std::string folder_;
  int32_t downloaded_ = 0;
};

int32_t RunLocked(const UpdateOptions& options) {
  if (options.engine_folder.empty()) return kUpdateFailed;
  std::string plain;
  int32_t result = AskServer(options, &plain);
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

  UpdateRun run(options, answer);
  result = run.ProcessLists(high_changed);
  unlink((folder + "/" + kAppList).c_str());
  unlink((folder + "/" + kVdbList).c_str());
  if (result < 0) return result;
  // Every listed file is here: only now do the words move on.
  if (!ini.WriteEntries(
          {{kVersionSection, kHighKey, answer.high}, {kVersionSection, kLowKey, answer.low}})) {
    DebugOutput("[QXAV] update: %s cannot be written", ini.path().c_str());
  }
  return result;
}

}  // namespace

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
