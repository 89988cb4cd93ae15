#include "platform/registry_hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/registry_store.h"
#include "platform/text_compare.h"

namespace qxfw::platform {
namespace {

bool NeedsEscape(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '%';
}

void AppendEscaped(std::string* out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (NeedsEscape(c)) {
      out->push_back('%');
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xF]);
    } else {
      out->push_back(ch);
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view field, std::string* out) {
  out->clear();
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      if (NeedsEscape(static_cast<unsigned char>(field[i]))) return false;
      out->push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) return false;
    int high = HexDigit(field[i + 1]);
    int low = HexDigit(field[i + 2]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

bool ParseType(std::string_view text, uint32_t* type) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  *type = static_cast<uint32_t>(value);
  return true;
}

void SerializeKey(const HiveKey& key, const std::string& path, std::string* out) {
  out->append("K\t");
  AppendEscaped(out, path);
  out->push_back('\n');
  for (const HiveValue& value : key.values) {
    out->append("V\t");
    out->append(std::to_string(value.type));
    out->push_back('\t');
    AppendEscaped(out, value.name);
    out->push_back('\t');
    AppendEscaped(out, value.data);
    out->push_back('\n');
  }
  for (const auto& sub : key.subkeys) {
    SerializeKey(*sub, path.empty() ? sub->name : path + "\\" + sub->name, out);
  }
}

bool MakeParentFolders(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string folder = path.substr(0, pos);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

enum class LoadResult { kOk, kMissing, kUnusable };

LoadResult LoadFile(const std::string& path, HiveKey* root) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return LoadResult::kMissing;
    DebugOutput("[QXFW]RegistryHive: cannot read %s: %s", path.c_str(), strerror(errno));
    return LoadResult::kUnusable;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxHiveFileSize) {
    DebugOutput("[QXFW]RegistryHive: %s is larger than %zu bytes, ignored", path.c_str(),
                kMaxHiveFileSize);
    return LoadResult::kUnusable;
  }
  std::string text;
  if (!ReadWholeFile(path, &text, kMaxHiveFileSize)) {
    if (errno == ENOENT) return LoadResult::kMissing;
    DebugOutput("[QXFW]RegistryHive: cannot read %s", path.c_str());
    return LoadResult::kUnusable;
  }
  if (!ParseHive(text, root, path)) {
    DebugOutput("[QXFW]RegistryHive: %s is not a registry hive, ignored", path.c_str());
    return LoadResult::kUnusable;
  }
  return LoadResult::kOk;
}

}  // namespace

HiveKey* HiveKey::FindSubkey(std::string_view wanted) const {
  for (const auto& sub : subkeys) {
    if (EqualNoCase(sub->name, wanted)) return sub.get();
  }
  return nullptr;
}

HiveValue* HiveKey::FindValue(std::string_view wanted) {
  for (HiveValue& value : values) {
    if (EqualNoCase(value.name, wanted)) return &value;
  }
  return nullptr;
}

const HiveValue* HiveKey::FindValue(std::string_view wanted) const {
  return const_cast<HiveKey*>(this)->FindValue(wanted);
}

HiveKey* HiveKey::AddSubkey(std::string_view wanted) {
  if (HiveKey* found = FindSubkey(wanted)) return found;
  auto key = std::make_unique<HiveKey>();
  key->name = std::string(wanted);
  subkeys.push_back(std::move(key));
  return subkeys.back().get();
}

void HiveKey::SetValue(std::string_view wanted, uint32_t type, std::string data) {
  if (HiveValue* found = FindValue(wanted)) {
    found->type = type;
    found->data = std::move(data);
    return;
  }
  values.push_back(HiveValue{std::string(wanted), type, std::move(data)});
}

bool HiveKey::RemoveValue(std::string_view wanted) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (EqualNoCase(it->name, wanted)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

bool HiveKey::RemoveSubkey(std::string_view wanted) {
  for (auto it = subkeys.begin(); it != subkeys.end(); ++it) {
    if (EqualNoCase((*it)->name, wanted)) {
      subkeys.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> levels;
  size_t start = 0;
  while (start <= path.size()) {
    size_t sep = path.find('\\', start);
    if (sep == std::string_view::npos) sep = path.size();
    if (sep > start) levels.emplace_back(path.substr(start, sep - start));
    start = sep + 1;
  }
  return levels;
}

HiveKey* WalkKey(HiveKey* root, const std::vector<std::string>& levels, bool create) {
  HiveKey* key = root;
  for (const std::string& level : levels) {
    HiveKey* next = create ? key->AddSubkey(level) : key->FindSubkey(level);
    if (next == nullptr) return nullptr;
    key = next;
  }
  return key;
}

bool ParseHive(std::string_view text, HiveKey* root, const std::string& label) {
  size_t end = text.find('\n');
  if (text.substr(0, end) != kHiveMagic) return false;
  HiveKey* current = nullptr;
  size_t line_number = 1;
  while (end != std::string_view::npos) {
    size_t start = end + 1;
    end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string_view> fields = SplitTabs(line);
    bool good = false;
    if (fields[0] == "K" && fields.size() == 2) {
      std::string path;
      if (Unescape(fields[1], &path)) {
        current = WalkKey(root, SplitKeyPath(path), true);
        good = true;
      }
    } else if (fields[0] == "V" && fields.size() == 4 && current != nullptr) {
      uint32_t type = 0;
      std::string name;
      std::string data;
      if (ParseType(fields[1], &type) && Unescape(fields[2], &name) && Unescape(fields[3], &data)) {
        current->SetValue(name, type, std::move(data));
        good = true;
      }
    }
    if (!good) {
      DebugOutput("[QXFW]RegistryHive: %s line %zu is damaged, skipped", label.c_str(),
                  line_number);
    }
  }
  return true;
}

std::string SerializeHive(const HiveKey& root) {
  std::string out = kHiveMagic;
  out.push_back('\n');
  SerializeKey(root, "", &out);
  return out;
}

bool RegistryHive::Load(HiveKey* root) const {
  return LoadFile(path_, root) != LoadResult::kUnusable;
}

long RegistryHive::Update(const std::function<long(HiveKey& root, bool* changed)>& change) {
  if (!MakeParentFolders(path_)) return kErrorAccessDenied;
  std::string lock_path = path_ + ".lock";
  UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode_));
  if (!lock.Valid()) return kErrorAccessDenied;
  if (!LockExclusive(lock.Get())) return kErrorAccessDenied;
  HiveKey root;
  LoadResult loaded = LoadFile(path_, &root);
  if (loaded == LoadResult::kUnusable) return kErrorBadDb;
  bool changed = false;
  long result = change(root, &changed);
  if (result != kErrorSuccess || !changed) return result;

  if (!ReplaceFile(path_, SerializeHive(root), mode_)) {
    DebugOutput("[QXFW]RegistryHive: cannot write %s: %s", path_.c_str(), strerror(errno));
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

}  // namespace qxfw::platform
