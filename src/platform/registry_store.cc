#include "platform/registry_store.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/folders.h"
#include "platform/linux_facts.h"
#include "platform/registry_hive.h"
#include "platform/text_compare.h"

namespace qxfw::platform {
namespace {

// A key answered from the running system. A whole key has no other values and refuses every
// write; otherwise only the named value is read-only and the hive holds the rest of the key.
struct BackedKey {
  bool machine;
  bool user;
  const char* path;
  bool whole_key;
  const char* value_name;
  uint32_t type;
  std::string (*fact)();
};

const BackedKey kBackedKeys[] = {
    {true, true, "SOFTWARE\\Classes\\HTTP\\shell\\open\\command", true, "", kRegSz,
     [] { return DefaultBrowserCommand(); }},
    {true, false, "SYSTEM\\CurrentControlSet\\Services\\Samss", true, "ImagePath", kRegExpandSz,
     [] { return ServiceImagePath("Samss"); }},
    {true, false, "SYSTEM\\CurrentControlSet\\Services\\RpcSs", true, "ImagePath", kRegExpandSz,
     [] { return ServiceImagePath("RpcSs"); }},
    {true, false, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", false, "ProgramFilesPath", kRegSz,
     [] { return ProgramFilesFolder(); }},
};

bool AppliesTo(const BackedKey& backed, RegRoot root) {
  return root == RegRoot::kLocalMachine ? backed.machine : backed.user;
}

// True when prefix names the first levels of path (all of them when whole is set).
bool LevelsStartWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix,
                     bool whole) {
  if (prefix.size() > path.size() || (whole && prefix.size() != path.size())) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (!EqualNoCase(path[i], prefix[i])) return false;
  }
  return true;
}

const BackedKey* FindBacked(RegRoot root, const std::vector<std::string>& levels) {
  for (const BackedKey& backed : kBackedKeys) {
    if (AppliesTo(backed, root) && LevelsStartWith(SplitKeyPath(backed.path), levels, true)) {
      return &backed;
    }
  }
  return nullptr;
}

// Keys above a backed key always exist, as they would on any installed system.
bool IsAboveBacked(RegRoot root, const std::vector<std::string>& levels) {
  for (const BackedKey& backed : kBackedKeys) {
    std::vector<std::string> path = SplitKeyPath(backed.path);
    if (AppliesTo(backed, root) && path.size() > levels.size() &&
        LevelsStartWith(path, levels, false)) {
      return true;
    }
  }
  return false;
}

std::vector<HiveValue> FactsOf(const BackedKey* backed) {
  if (backed == nullptr) return {};
  std::string text = backed->fact();
  if (text.empty()) return {};
  text.push_back('\0');
  return {HiveValue{backed->value_name, backed->type, std::move(text)}};
}

bool IsBackedName(const BackedKey* backed, std::string_view name) {
  return backed != nullptr && (backed->whole_key || EqualNoCase(backed->value_name, name));
}

std::string ConfigFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && *config != '\0') return config;
  return HomeFolder() + "/.config";
}

RegistryHive HiveFor(RegRoot root) {
  return RegistryHive(RegistryHivePath(root), root == RegRoot::kLocalMachine ? 0644 : 0600);
}

}  // namespace

std::string RegistryHivePath(RegRoot root) {
  const char* folder = std::getenv("QXFW_REGISTRY_DIR");
  bool machine = root == RegRoot::kLocalMachine;
  if (folder != nullptr && *folder != '\0') {
    return std::string(folder) + (machine ? "/machine.hive" : "/user.hive");
  }
  return machine ? SystemFolder() + "/registry/machine.hive" : ConfigFolder() + "/qxfw/user.hive";
}

struct RegKey::Impl {
  RegRoot root = RegRoot::kCurrentUser;
  std::vector<std::string> levels;
  uint32_t access = 0;
  const BackedKey* backed = nullptr;
  std::vector<HiveValue> facts;  // read when the key was opened
  bool virtual_key = false;      // exists without a hive entry (root, backed or above one)

  // Loads the hive and finds this key in it; kErrorKeyDeleted when it is gone.
  long Load(HiveKey* tree, const HiveKey** key) const {
    HiveForRoot().Load(tree);
    *key = WalkKey(tree, levels, false);
    return *key != nullptr || virtual_key ? kErrorSuccess : kErrorKeyDeleted;
  }

  RegistryHive HiveForRoot() const { return HiveFor(root); }

  long Values(std::vector<HiveValue>* out) const {
    HiveKey tree;
    const HiveKey* key = nullptr;
    if (long error = Load(&tree, &key); error != kErrorSuccess) return error;
    *out = facts;
    if (key == nullptr || (backed != nullptr && backed->whole_key)) return kErrorSuccess;
    for (const HiveValue& value : key->values) {
      if (!IsBackedName(backed, value.name)) out->push_back(value);
    }
    return kErrorSuccess;
  }

  long Subkeys(std::vector<std::string>* out) const {
    HiveKey tree;
    const HiveKey* key = nullptr;
    if (long error = Load(&tree, &key); error != kErrorSuccess) return error;
    out->clear();
    if (key != nullptr) {
      for (const auto& sub : key->subkeys) out->push_back(sub->name);
    }
    auto known = [out](std::string_view name) {
      for (const std::string& have : *out) {
        if (EqualNoCase(have, name)) return true;
      }
      return false;
    };
    for (const BackedKey& other : kBackedKeys) {
      std::vector<std::string> path = SplitKeyPath(other.path);
      if (!AppliesTo(other, root) || path.size() <= levels.size() ||
          !LevelsStartWith(path, levels, false) || known(path[levels.size()])) {
        continue;
      }
      // A backed key itself is listed only while the system has its fact.
      if (path.size() == levels.size() + 1 && FactsOf(&other).empty()) continue;
      out->push_back(path[levels.size()]);
    }
    return kErrorSuccess;
  }

  // Applies change to this key in the hive, adding the key when it exists only virtually.
  long Change(const std::function<long(HiveKey& key, bool* changed)>& change) {
    return HiveForRoot().Update([&](HiveKey& tree, bool* changed) -> long {
      HiveKey* key = WalkKey(&tree, levels, false);
      if (key == nullptr) {
        if (!virtual_key) return kErrorKeyDeleted;
        key = WalkKey(&tree, levels, true);
        *changed = true;
      }
      bool value_changed = false;
      long result = change(*key, &value_changed);
      *changed = *changed || value_changed;
      return result;
    });
  }
};

RegKey::RegKey() = default;
RegKey::~RegKey() = default;

void RegKey::Close() {
  impl_.reset();
}

bool RegKey::IsOpen() const {
  return impl_ != nullptr;
}

long RegKey::Open(RegRoot root, std::string_view subkey, uint32_t access) {
  auto impl = std::make_unique<Impl>();
  impl->root = root;
  impl->levels = SplitKeyPath(subkey);
  impl->access = access;
  impl->backed = FindBacked(root, impl->levels);
  impl->facts = FactsOf(impl->backed);
  bool backed_present =
      impl->backed != nullptr && (!impl->backed->whole_key || !impl->facts.empty());
  impl->virtual_key = impl->levels.empty() || backed_present || IsAboveBacked(root, impl->levels);
  if (!impl->virtual_key) {
    HiveKey tree;
    HiveFor(root).Load(&tree);
    if (WalkKey(&tree, impl->levels, false) == nullptr) return kErrorFileNotFound;
  }
  impl_ = std::move(impl);
  return kErrorSuccess;
}

long RegKey::Create(RegRoot root, std::string_view subkey, uint32_t access) {
  std::vector<std::string> levels = SplitKeyPath(subkey);
  const BackedKey* backed = FindBacked(root, levels);
  if (backed != nullptr && backed->whole_key) {
    long result = Open(root, subkey, access);
    return result == kErrorFileNotFound ? kErrorAccessDenied : result;
  }
  if (Open(root, subkey, access) == kErrorSuccess) return kErrorSuccess;
  long result = HiveFor(root).Update([&](HiveKey& tree, bool* changed) -> long {
    *changed = WalkKey(&tree, levels, false) == nullptr;
    WalkKey(&tree, levels, true);
    return kErrorSuccess;
  });
  if (result != kErrorSuccess) return result;
  return Open(root, subkey, access);
}

long RegKey::QueryValue(std::string_view name, uint32_t* type, void* data, uint32_t* size) const {
  if (!impl_) return kErrorInvalidHandle;
  if ((impl_->access & kKeyQueryValue) == 0) return kErrorAccessDenied;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  std::vector<HiveValue> values;
  if (long error = impl_->Values(&values); error != kErrorSuccess) return error;
  for (const HiveValue& value : values) {
    if (!EqualNoCase(value.name, name)) continue;
    if (type != nullptr) *type = value.type;
    auto need = static_cast<uint32_t>(value.data.size());
    if (data != nullptr) {
      if (*size < need) {
        *size = need;
        return kErrorMoreData;
      }
      std::memcpy(data, value.data.data(), need);
    }
    if (size != nullptr) *size = need;
    return kErrorSuccess;
  }
  return kErrorFileNotFound;
}

long RegKey::EnumValue(uint32_t index, std::string* name, uint32_t* type, std::string* data) const {
  if (!impl_) return kErrorInvalidHandle;
  if ((impl_->access & kKeyQueryValue) == 0) return kErrorAccessDenied;
  std::vector<HiveValue> values;
  if (long error = impl_->Values(&values); error != kErrorSuccess) return error;
  if (index >= values.size()) return kErrorNoMoreItems;
  if (name != nullptr) *name = values[index].name;
  if (type != nullptr) *type = values[index].type;
  if (data != nullptr) *data = values[index].data;
  return kErrorSuccess;
}

long RegKey::EnumKey(uint32_t index, std::string* name) const {
  if (!impl_) return kErrorInvalidHandle;
  if ((impl_->access & kKeyEnumerateSubKeys) == 0) return kErrorAccessDenied;
  std::vector<std::string> names;
  if (long error = impl_->Subkeys(&names); error != kErrorSuccess) return error;
  if (index >= names.size()) return kErrorNoMoreItems;
  if (name != nullptr) *name = names[index];
  return kErrorSuccess;
}

long RegKey::QueryInfo(uint32_t* subkeys, uint32_t* values, uint32_t* maxValueNameLength,
                       uint32_t* maxValueDataLength) const {
  if (!impl_) return kErrorInvalidHandle;
  if ((impl_->access & kKeyQueryValue) == 0) return kErrorAccessDenied;
  std::vector<HiveValue> list;
  if (long error = impl_->Values(&list); error != kErrorSuccess) return error;
  if (subkeys != nullptr) {
    std::vector<std::string> names;
    if (long error = impl_->Subkeys(&names); error != kErrorSuccess) return error;
    *subkeys = static_cast<uint32_t>(names.size());
  }
  size_t longest_name = 0;
  size_t longest_data = 0;
  for (const HiveValue& value : list) {
    longest_name = std::max(longest_name, value.name.size());
    longest_data = std::max(longest_data, value.data.size());
  }
  if (values != nullptr) *values = static_cast<uint32_t>(list.size());
  if (maxValueNameLength != nullptr) *maxValueNameLength = static_cast<uint32_t>(longest_name);
  if (maxValueDataLength != nullptr) *maxValueDataLength = static_cast<uint32_t>(longest_data);
  return kErrorSuccess;
}

long RegKey::SetValue(std::string_view name, uint32_t type, const void* data, uint32_t size) {
  if (!impl_) return kErrorInvalidHandle;
  if ((impl_->access & kKeySetValue) == 0) return kErrorAccessDenied;
  if (IsBackedName(impl_->backed, name)) return kErrorAccessDenied;
  if (data == nullptr && size != 0) return kErrorInvalidParameter;
  std::string bytes(static_cast<const char*>(data), data != nullptr ? size : 0);
  return impl_->Change([&](HiveKey& key, bool* changed) -> long {
    key.SetValue(name, type, std::move(bytes));
    *changed = true;
    return kErrorSuccess;
  });
}

long RegKey::SetString(std::string_view name, std::string_view text, uint32_t type) {
  std::string bytes(text);
  bytes.push_back('\0');
  return SetValue(name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

long RegKey::SetDword(std::string_view name, uint32_t value) {
  unsigned char bytes[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return SetValue(name, kRegDword, bytes, sizeof(bytes));
}

long RegKey::DeleteValue(std::string_view name) {
  if (!impl_) return kErrorInvalidHandle;
  if ((impl_->access & kKeySetValue) == 0) return kErrorAccessDenied;
  if (IsBackedName(impl_->backed, name)) return kErrorAccessDenied;
  return impl_->Change([&](HiveKey& key, bool* changed) -> long {
    *changed = key.RemoveValue(name);
    return *changed ? kErrorSuccess : kErrorFileNotFound;
  });
}

long RegKey::DeleteKey(RegRoot root, std::string_view subkey) {
  std::vector<std::string> levels = SplitKeyPath(subkey);
  if (levels.empty()) return kErrorAccessDenied;
  const BackedKey* backed = FindBacked(root, levels);
  if (backed != nullptr && backed->whole_key) return kErrorAccessDenied;
  return HiveFor(root).Update([&](HiveKey& tree, bool* changed) -> long {
    std::vector<std::string> parent_levels(levels.begin(), levels.end() - 1);
    HiveKey* parent = WalkKey(&tree, parent_levels, false);
    *changed = parent != nullptr && parent->RemoveSubkey(levels.back());
    return *changed ? kErrorSuccess : kErrorFileNotFound;
  });
}

bool RegReadValue(RegRoot root, const char* subkey, const char* value, char* buffer,
                  uint32_t size) {
  if (buffer == nullptr || size == 0) return false;
  std::memset(buffer, 0, size);
  RegKey key;
  if (key.Open(root, subkey != nullptr ? subkey : "", kKeyQueryValue) != kErrorSuccess) {
    return false;
  }
  uint32_t type = 0;
  uint32_t got = size;
  return key.QueryValue(value != nullptr ? value : "", &type, buffer, &got) == kErrorSuccess;
}

}  // namespace qxfw::platform
