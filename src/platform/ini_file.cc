#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/text_compare.h"

namespace qxfw::platform {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n\f\v");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n\f\v");
  return text.substr(begin, end - begin + 1);
}

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

struct Line {
  std::string raw;
  LineKind kind = LineKind::kBlank;
  std::string name;   // section or key name
  std::string value;  // key value, or the trimmed text of another line
};

// The file split into classified lines.
struct IniText {
  std::vector<Line> lines;
  bool crlf = false;
  bool bom = false;

  void Parse(std::string_view text) {
    if (text.substr(0, kBom.size()) == kBom) {
      bom = true;
      text.remove_prefix(kBom.size());
    }
    size_t first_end = text.find('\n');
    crlf = first_end != std::string_view::npos && first_end > 0 && text[first_end - 1] == '\r';
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view raw = text.substr(start, end - start);
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      lines.push_back(Classify(std::string(raw)));
      start = end + 1;
    }
  }

  static Line Classify(std::string raw) {
    Line line;
    line.raw = std::move(raw);
    std::string_view text = Trim(line.raw);
    if (text.empty()) {
      line.kind = LineKind::kBlank;
    } else if (text[0] == ';') {
      line.kind = LineKind::kComment;
    } else if (text[0] == '[') {
      line.kind = LineKind::kSection;
      size_t close = text.find(']');
      line.name =
          std::string(Trim(text.substr(1, close == std::string_view::npos ? close : close - 1)));
    } else if (size_t equal = text.find('='); equal != std::string_view::npos) {
      line.kind = LineKind::kKey;
      line.name = std::string(Trim(text.substr(0, equal)));
      line.value = std::string(Trim(text.substr(equal + 1)));
    } else {
      line.kind = LineKind::kOther;
      line.value = std::string(text);
    }
    return line;
  }

  // Index of the first matching section header, or npos.
  size_t FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].kind == LineKind::kSection && EqualNoCase(lines[i].name, section)) return i;
    }
    return std::string::npos;
  }

  // One past the last line of the section starting at header.
  size_t SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines.size() && lines[i].kind != LineKind::kSection) ++i;
    return i;
  }

  size_t FindKey(size_t header, std::string_view key) const {
    for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
      if (lines[i].kind == LineKind::kKey && EqualNoCase(lines[i].name, key)) return i;
    }
    return std::string::npos;
  }

  const Line* Find(std::string_view section, std::string_view key) const {
    size_t header = FindSection(section);
    if (header == std::string::npos) return nullptr;
    size_t index = FindKey(header, key);
    return index == std::string::npos ? nullptr : &lines[index];
  }

  std::string Serialize() const {
    std::string out;
    if (bom) out.append(kBom);
    for (const Line& line : lines) {
      out.append(line.raw);
      out.append(crlf ? "\r\n" : "\n");
    }
    return out;
  }
};

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult ReadIni(const std::string& path, IniText* ini) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  if (static_cast<uint64_t>(st.st_size) > kMaxIniFileSize) {
    DebugOutput("[QXFW]IniFile: %s is larger than %zu bytes, ignored", path.c_str(),
                kMaxIniFileSize);
    return ReadResult::kFailed;
  }
  std::string text;
  if (!ReadWholeFile(path, &text, kMaxIniFileSize)) {
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  ini->Parse(text);
  return ReadResult::kOk;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads the file under the folder lock, lets edit change it, and replaces the file when edit
// reports a change. edit returns false to abandon the write as failed.
bool Rewrite(const std::string& path, const std::function<bool(IniText&, bool*)>& edit) {
  UniqueFd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.Valid()) return false;
  if (!LockExclusive(folder.Get())) return false;
  IniText ini;
  ReadResult read = ReadIni(path, &ini);
  if (read == ReadResult::kFailed) return false;
  bool changed = false;
  if (!edit(ini, &changed)) return false;
  if (!changed) return true;

  if (!ReplaceFile(path, ini.Serialize(), 0644)) {
    DebugOutput("[QXFW]IniFile: cannot write %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool ValidSection(std::string_view section) {
  return !Trim(section).empty() && !HasLineBreak(section) &&
         section.find(']') == std::string_view::npos;
}

bool ValidKey(std::string_view key) {
  std::string_view name = Trim(key);
  return !name.empty() && !HasLineBreak(key) && key.find('=') == std::string_view::npos &&
         name[0] != ';' && name[0] != '[';
}

uint32_t CopyTruncated(std::string_view text, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  size_t count = std::min<size_t>(text.size(), size - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return static_cast<uint32_t>(count);
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Sets key=value in the section, adding what is missing; true when a line changed.
bool SetKey(IniText& ini, std::string_view section, std::string_view key, std::string_view value) {
  std::string key_line = std::string(Trim(key)) + "=" + std::string(Trim(value));
  size_t header = ini.FindSection(section);
  if (header == std::string::npos) {
    if (!ini.lines.empty() && ini.lines.back().kind != LineKind::kBlank) {
      ini.lines.push_back(IniText::Classify(""));
    }
    ini.lines.push_back(IniText::Classify("[" + std::string(Trim(section)) + "]"));
    ini.lines.push_back(IniText::Classify(key_line));
    return true;
  }
  size_t index = ini.FindKey(header, key);
  if (index != std::string::npos) {
    // Keep the key as the file spells it.
    std::string line = ini.lines[index].name + "=" + std::string(Trim(value));
    if (line == Trim(ini.lines[index].raw)) return false;
    ini.lines[index] = IniText::Classify(line);
    return true;
  }
  size_t insert = ini.SectionEnd(header);
  while (insert > header + 1 && ini.lines[insert - 1].kind == LineKind::kBlank) --insert;
  ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(insert),
                   IniText::Classify(key_line));
  return true;
}

}  // namespace

int IniFile::GetInt(std::string_view section, std::string_view key, int default_value) const {
  IniText ini;
  if (ReadIni(path_, &ini) != ReadResult::kOk) return default_value;
  const Line* line = ini.Find(section, key);
  if (line == nullptr) return default_value;
  std::string_view text = Unquote(line->value);
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  uint32_t base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  uint32_t value = 0;  // unsigned arithmetic wraps like the 32-bit profile functions
  for (; i < text.size(); ++i) {
    char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    value = value * base + digit;
  }
  if (negative) value = 0u - value;
  return static_cast<int>(value);
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view default_value) const {
  IniText ini;
  if (ReadIni(path_, &ini) != ReadResult::kOk) return std::string(default_value);
  const Line* line = ini.Find(section, key);
  return std::string(line != nullptr ? Unquote(line->value) : default_value);
}

uint32_t IniFile::GetString(std::string_view section, std::string_view key,
                            const char* default_value, char* buffer, uint32_t size) const {
  std::string value = GetString(section, key, default_value != nullptr ? default_value : "");
  return CopyTruncated(value, buffer, size);
}

uint32_t IniFile::GetSection(std::string_view section, char* buffer, uint32_t size) const {
  if (buffer == nullptr || size == 0) return 0;
  std::string text;
  IniText ini;
  if (ReadIni(path_, &ini) == ReadResult::kOk) {
    size_t header = ini.FindSection(section);
    if (header != std::string::npos) {
      for (size_t i = header + 1, end = ini.SectionEnd(header); i < end; ++i) {
        const Line& line = ini.lines[i];
        if (line.kind == LineKind::kKey) {
          text.append(line.name).append("=").append(line.value);
        } else if (line.kind == LineKind::kOther) {
          text.append(line.value);
        } else {
          continue;
        }
        text.push_back('\0');
      }
    }
  }
  if (text.size() + 1 <= size) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    if (text.empty() && size >= 2) buffer[1] = '\0';
    return static_cast<uint32_t>(text.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, text.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

std::vector<std::string> IniFile::GetSectionNames() const {
  std::vector<std::string> names;
  IniText ini;
  if (ReadIni(path_, &ini) != ReadResult::kOk) return names;
  for (const Line& line : ini.lines) {
    if (line.kind == LineKind::kSection) names.push_back(line.name);
  }
  return names;
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return WriteEntries({IniEntry{std::string(section), std::string(key), std::string(value)}});
}

bool IniFile::WriteEntries(const std::vector<IniEntry>& entries) {
  for (const IniEntry& entry : entries) {
    if (!ValidSection(entry.section) || !ValidKey(entry.key) || HasLineBreak(entry.value)) {
      return false;
    }
  }
  return Rewrite(path_, [&](IniText& ini, bool* changed) {
    for (const IniEntry& entry : entries) {
      *changed = SetKey(ini, entry.section, entry.key, entry.value) || *changed;
    }
    return true;
  });
}

bool IniFile::WriteInt(std::string_view section, std::string_view key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
  return Rewrite(path_, [&](IniText& ini, bool* changed) {
    size_t header = ini.FindSection(section);
    size_t index = header == std::string::npos ? header : ini.FindKey(header, key);
    *changed = index != std::string::npos;
    if (*changed) ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  });
}

bool IniFile::DeleteSection(std::string_view section) {
  return Rewrite(path_, [&](IniText& ini, bool* changed) {
    size_t header = ini.FindSection(section);
    *changed = header != std::string::npos;
    if (*changed) {
      ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(header),
                      ini.lines.begin() + static_cast<std::ptrdiff_t>(ini.SectionEnd(header)));
    }
    return true;
  });
}

}  // namespace qxfw::platform
