#include "monitor/version_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/file.h"
#include "platform/folders.h"
#include "platform/package_db.h"
#include "platform/path_text.h"
#include "platform/text_split.h"

namespace qxfw::monitor {
namespace {

constexpr size_t kMaxDesktopEntryBytes = 256 * 1024;
constexpr int kMaxApplicationDepth = 3;

std::string RealPathOf(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

// The "applications" folders of the desktop-entry search path, most important first.
std::vector<std::string> ApplicationFolders() {
  std::vector<std::string> folders;
  folders.push_back(EnvOr("XDG_DATA_HOME", platform::HomeFolder() + "/.local/share"));
  std::string dirs = EnvOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
  for (std::string_view dir : platform::SplitNonEmpty(dirs, ':')) folders.emplace_back(dir);
  for (std::string& folder : folders) folder += "/applications";
  return folders;
}

// The program word of an Exec line: the first word, unquoted, skipping an "env" wrapper and
// its VAR=value settings.
std::string ProgramWord(std::string_view exec) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool inWord = false;
  for (size_t i = 0; i < exec.size() && words.size() < 16; ++i) {
    char c = exec[i];
    if (quoted) {
      if (c == '\\' && i + 1 < exec.size()) {
        word += exec[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = true;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  size_t k = 0;
  if (k < words.size() && platform::FileNameOf(words[k]) == "env") {
    ++k;
    while (k < words.size() && words[k].find('=') != std::string::npos) ++k;
  }
  return k < words.size() ? words[k] : std::string();
}

// Where a command word leads: a path as it is, a bare name through $PATH.
std::string ResolveCommand(const std::string& word) {
  if (word.empty()) return {};
  if (word.find('/') != std::string::npos) return RealPathOf(word);
  std::string path = EnvOr("PATH", "/usr/local/bin:/usr/bin:/bin");
  for (std::string_view dir : platform::SplitNonEmpty(path, ':')) {
    std::string candidate = std::string(dir) + "/" + word;
    if (::access(candidate.c_str(), X_OK) == 0) return RealPathOf(candidate);
  }
  return {};
}

struct DesktopEntry {
  std::string name;
  std::string comment;
  std::string exec;
  std::string tryExec;
  std::string icon;
  bool hidden = false;
};

// Reads the keys of the [Desktop Entry] group; localised keys ("Name[ko]") are not taken.
std::optional<DesktopEntry> ReadDesktopEntry(const std::string& file) {
  std::string text;
  if (!platform::ReadWholeFile(file, &text, kMaxDesktopEntryBytes)) return std::nullopt;
  DesktopEntry entry;
  bool inGroup = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inGroup) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    std::string_view value = line.substr(eq + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (key == "Name") {
      entry.name = value;
    } else if (key == "Comment") {
      entry.comment = value;
    } else if (key == "Exec") {
      entry.exec = value;
    } else if (key == "TryExec") {
      entry.tryExec = value;
    } else if (key == "Icon") {
      entry.icon = value;
    } else if (key == "Hidden") {
      entry.hidden = value == "true";
    }
  }
  return entry;
}

// The first visible desktop entry whose Exec or TryExec runs the program at path.
std::optional<DesktopEntry> DesktopEntryRunning(const std::string& path) {
  std::string target = RealPathOf(path);
  if (target.empty()) return std::nullopt;
  for (const std::string& folder : ApplicationFolders()) {
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(
        folder, std::filesystem::directory_options::skip_permission_denied, error);
    for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it.depth() >= kMaxApplicationDepth) it.disable_recursion_pending();
      const std::filesystem::path& file = it->path();
      std::error_code typeError;
      if (file.extension() != ".desktop" || !it->is_regular_file(typeError)) continue;
      std::optional<DesktopEntry> entry = ReadDesktopEntry(file.string());
      if (!entry || entry->hidden) continue;
      if (ResolveCommand(ProgramWord(entry->exec)) == target ||
          ResolveCommand(ProgramWord(entry->tryExec)) == target) {
        return entry;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

const std::array<const char*, CFileVersionInfo::kKeyCount> CFileVersionInfo::kKeyNames = {
    "Comments",     "CompanyName",    "FileDescription", "FileVersion",
    "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
    "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild"};

CFileVersionInfo::CFileVersionInfo(const std::string& path)
    : CFileVersionInfo(path, &platform::PackageDb::Shared()) {}

CFileVersionInfo::CFileVersionInfo(const std::string& path, platform::PackageDb* db) {
  Read(path, db);
}

bool CFileVersionInfo::Read(const std::string& path, platform::PackageDb* db) {
  for (std::string& text : m_texts) text.clear();
  if (path.empty() || path.front() != '/') return false;
  return ReadFromPackage(path, db) || ReadFromDesktopEntry(path);
}

const std::string& CFileVersionInfo::Get(std::string_view keyName) const {
  static const std::string kNone;
  for (size_t k = 0; k < kKeyNames.size(); ++k) {
    if (keyName == kKeyNames[k]) return m_texts[k];
  }
  return kNone;
}

bool CFileVersionInfo::HasVersionInfo() const {
  for (const std::string& text : m_texts) {
    if (!text.empty()) return true;
  }
  return false;
}

void CFileVersionInfo::Set(Key key, std::string_view text) {
  if (text.size() > kMaxTextBytes) {
    size_t cut = kMaxTextBytes;
    // Never split a UTF-8 sequence: back off over continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut);
  }
  m_texts[key] = std::string(text);
}

bool CFileVersionInfo::ReadFromPackage(const std::string& path, platform::PackageDb* db) {
  if (db == nullptr || !db->Available()) return false;
  std::optional<std::string> owner = db->OwnerOf(path);
  if (!owner) {
    std::string real = RealPathOf(path);
    if (!real.empty() && real != path) owner = db->OwnerOf(real);
  }
  if (!owner) return false;
  std::optional<platform::PackageRecord> record = db->RecordOf(*owner);
  if (!record) return false;
  Set(kProductName, record->package);
  Set(kFileVersion, record->version);
  Set(kProductVersion, record->version);
  Set(kCompanyName, record->maintainer);
  Set(kFileDescription, record->description);
  return true;
}

bool CFileVersionInfo::ReadFromDesktopEntry(const std::string& path) {
  std::optional<DesktopEntry> entry = DesktopEntryRunning(path);
  if (!entry) return false;
  Set(kFileDescription, entry->name);
  Set(kProductName, entry->name);
  Set(kComments, entry->comment);
  return true;
}

std::string DesktopIconOf(const std::string& path) {
  std::optional<DesktopEntry> entry = DesktopEntryRunning(path);
  return entry ? entry->icon : std::string();
}

}  // namespace qxfw::monitor
