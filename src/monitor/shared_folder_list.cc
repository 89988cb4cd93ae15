#include "monitor/shared_folder_list.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "monitor/samba_tool.h"
#include "platform/debug_output.h"
#include "platform/text_compare.h"

namespace qxfw::monitor {
namespace {

// testparm -v prints every parameter; a few hundred shares stay far below this.
constexpr size_t kMaxToolOutput = 4u << 20;

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

std::string_view Trim(std::string_view text) {
  text = TrimLeft(text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Walks "[section]" headers and "key = value" lines as testparm and net print them.
template <typename OnSection, typename OnValue>
void ParseSections(const std::string& text, OnSection onSection, OnValue onValue) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() > 2) {
      onSection(std::string(line.substr(1, line.size() - 2)));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view value = TrimLeft(line.substr(equals + 1));
    onValue(std::string(Trim(line.substr(0, equals))), std::string(value));
  }
}

// Copies text into a fixed zero-filled field, cut so that it stays terminated and no UTF-8
// character is split.
void CopyField(char* field, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

CSharedFolderList::CSharedFolderList()
    : CSharedFolderList(Options{EnvText("QXFW_SMB_CONF"), EnvText("PATH"), 10000}) {}

CSharedFolderList::CSharedFolderList(Options options) : options_(std::move(options)) {
  Enumerate();
}

void CSharedFolderList::Enumerate() {
  net_ = FindSambaTool("net", options_.searchPath);
  testparm_ = FindSambaTool("testparm", options_.searchPath);
  if (net_.empty()) {
    status_ = kStatusNoService;
    platform::DebugOutput("[QXFW.exe] CSharedFolderList - Failed to load lib");
    return;
  }
  if (testparm_.empty()) {
    status_ = kStatusNoService;
    platform::DebugOutput("[QXFW.exe] CSharedFolderList - Failed to GetProcAddress(NT)");
    return;
  }
  std::string usersharePath;
  long usershareMax = 0;
  if (!ReadConfigShares(&usersharePath, &usershareMax)) {
    platform::DebugOutput("[QXFW.exe] CSharedFolderList - Failed NetShareEnum_NT");
    return;
  }
  // User shares switched off, or never set up on this machine: there are none to list.
  if (usershareMax <= 0 || usersharePath.empty() || !IsDirectory(usersharePath)) return;
  if (!ReadUserShares()) {
    platform::DebugOutput("[QXFW.exe] CSharedFolderList - Failed NetShareEnum_NT");
  }
}

std::vector<std::string> CSharedFolderList::ConfigArgs(bool forNet) const {
  if (options_.smbConf.empty()) return {};
  if (forNet) return {"--configfile=" + options_.smbConf};
  return {"--", options_.smbConf};
}

bool CSharedFolderList::ReadConfigShares(std::string* usersharePath, long* usershareMax) {
  std::vector<std::string> args = {"-sv"};
  for (std::string& arg : ConfigArgs(false)) args.push_back(std::move(arg));
  SambaToolResult run = RunSambaTool(testparm_, args, options_.timeoutMs, kMaxToolOutput);
  // testparm also exits with 1 for mere warnings about the configuration, so the exit code
  // says little; a configuration that could not be loaded prints no [global] section.
  if (!run.Completed()) {
    status_ = run.timedOut ? kStatusTimeout : kStatusNoService;
    return false;
  }
  struct Section {
    std::string name;
    std::string path;
  };
  std::vector<Section> sections;
  bool sawGlobal = false;
  bool inGlobal = false;
  ParseSections(
      run.output,
      [&](const std::string& name) {
        inGlobal = platform::EqualNoCase(name, "global");
        if (inGlobal) {
          sawGlobal = true;
        } else {
          sections.push_back({name, ""});
        }
      },
      [&](const std::string& key, const std::string& value) {
        if (inGlobal) {
          if (platform::EqualNoCase(key, "usershare path")) *usersharePath = value;
          if (platform::EqualNoCase(key, "usershare max shares")) {
            *usershareMax = std::strtol(value.c_str(), nullptr, 10);
          }
        } else if (!sections.empty() && platform::EqualNoCase(key, "path")) {
          sections.back().path = value;
        }
      });
  if (!sawGlobal) {
    status_ = kStatusNoService;
    return false;
  }
  // Every kind of share is listed, print shares and [homes] included, as the system has them.
  for (const Section& section : sections) Add(section.name, section.path, false);
  return true;
}

bool CSharedFolderList::ReadUserShares() {
  // --long lists the shares of every user, not only the caller's.
  std::vector<std::string> args = ConfigArgs(true);
  for (const char* arg : {"usershare", "info", "--long"}) args.emplace_back(arg);
  SambaToolResult run = RunSambaTool(net_, args, options_.timeoutMs, kMaxToolOutput);
  if (!run.Completed() || run.exitCode != 0) {
    status_ = run.timedOut ? kStatusTimeout : kStatusNoService;
    return false;
  }
  struct Section {
    std::string name;
    std::string path;
  };
  std::vector<Section> shares;
  ParseSections(
      run.output,
      [&](const std::string& name) {
        shares.push_back({name, ""});
      },
      [&](const std::string& key, const std::string& value) {
        if (!shares.empty() && key == "path") shares.back().path = value;
      });
  for (const Section& share : shares) {
    // A user share named like an smb.conf share is hidden by it.
    if (Find(share.name) == nullptr) Add(share.name, share.path, true);
  }
  return true;
}

void CSharedFolderList::Add(const std::string& name, const std::string& path, bool userShare) {
  Share share{};
  std::memset(&share.record, 0, sizeof(share.record));
  share.record.action = 1;
  CopyField(share.record.shareName, sizeof(share.record.shareName), name);
  CopyField(share.record.path, sizeof(share.record.path), path);
  share.name = name;
  share.userShare = userShare;
  records_.push_back(std::move(share));
}

const CSharedFolderList::Share* CSharedFolderList::Find(const std::string& name) const {
  for (const Share& share : records_) {
    if (platform::EqualNoCase(share.name, name)) return &share;
  }
  return nullptr;
}

bool CSharedFolderList::MoveNext() {
  if (cursor_ < records_.size()) {
    ++cursor_;
    return true;
  }
  cursor_ = 0;
  return false;
}

tagFIREWALL_SHARED_FOLDER CSharedFolderList::GetCurrent() const {
  tagFIREWALL_SHARED_FOLDER record;
  if (cursor_ == 0 || cursor_ > records_.size()) {
    std::memset(&record, 0, sizeof(record));
    return record;
  }
  return records_[cursor_ - 1].record;
}

bool CSharedFolderList::Release(const char* shareName) {
  if (net_.empty()) {
    status_ = kStatusNoService;
    return false;
  }
  const Share* share = shareName != nullptr ? Find(shareName) : nullptr;
  if (share == nullptr) {
    status_ = kStatusNetNameNotFound;
    return false;
  }
  if (!share->userShare) {
    status_ = kStatusAccessDenied;  // lives in smb.conf: only its administrator can remove it
    return false;
  }
  std::vector<std::string> args = ConfigArgs(true);
  for (const char* arg : {"usershare", "delete", "--"}) args.emplace_back(arg);
  args.push_back(share->name);
  SambaToolResult run = RunSambaTool(net_, args, options_.timeoutMs, kMaxToolOutput);
  if (run.timedOut) {
    status_ = kStatusTimeout;
  } else if (!run.started) {
    status_ = kStatusNoService;
  } else {
    status_ = run.exitCode == 0 ? kStatusOk : kStatusAccessDenied;
  }
  return status_ == kStatusOk;
}

}  // namespace qxfw::monitor
