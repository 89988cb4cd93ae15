// One hive file of the registry store: the key tree in memory, its text form, and the
// locked, atomic update of the file.
//
// The text form is described in docs/formats/registry_hive.md. Readers never lock: a writer
// replaces the whole file with rename(), so a reader sees either the old or the new hive.
// Writers serialise on an flock of "<hive>.lock" and always re-read the hive under that lock,
// so writers in different processes never lose each other's changes. A RegistryHive object
// holds only its path and may be used from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qxfw::platform {

inline constexpr char kHiveMagic[] = "QXFW-HIVE 1";
inline constexpr size_t kMaxHiveFileSize = 16u << 20;

struct HiveValue {
  std::string name;
  uint32_t type = 0;
  std::string data;  // raw bytes as set, strings with their terminating zero
};

struct HiveKey {
  std::string name;
  std::vector<HiveValue> values;                  // in the order first set
  std::vector<std::unique_ptr<HiveKey>> subkeys;  // in the order created

  // Case-insensitive lookups; null when absent.
  HiveKey* FindSubkey(std::string_view name) const;
  HiveValue* FindValue(std::string_view name);
  const HiveValue* FindValue(std::string_view name) const;
  // Returns the subkey, adding it when missing.
  HiveKey* AddSubkey(std::string_view name);
  // Sets or replaces a value; a replaced value keeps its place and its stored name.
  void SetValue(std::string_view name, uint32_t type, std::string data);
  bool RemoveValue(std::string_view name);
  bool RemoveSubkey(std::string_view name);
};

// Splits "A\B\C" into levels; empty levels (leading, trailing or doubled "\") are dropped.
std::vector<std::string> SplitKeyPath(std::string_view path);

// Follows levels from root; null when a level is missing (create false) or adds them.
HiveKey* WalkKey(HiveKey* root, const std::vector<std::string>& levels, bool create);

// Parses hive text into root (which must be empty). False when the header is not kHiveMagic.
// A damaged line is skipped with a debug line naming label and the line number.
bool ParseHive(std::string_view text, HiveKey* root, const std::string& label);
std::string SerializeHive(const HiveKey& root);

class RegistryHive {
 public:
  // mode is used when the file is first created.
  RegistryHive(std::string path, uint32_t mode) : path_(std::move(path)), mode_(mode) {}

  const std::string& path() const { return path_; }

  // Reads the hive. A missing file gives an empty tree and true; a file that is too large,
  // unreadable or not a hive gives an empty tree and false (with a debug line).
  bool Load(HiveKey* root) const;

  // Runs change on a tree loaded under the write lock. When change returns kErrorSuccess and
  // set *changed, the tree is written back atomically. Returns change's result, or
  // kErrorAccessDenied when the hive cannot be locked or written, or kErrorBadDb when the
  // existing file is not a usable hive (it is then left as it is).
  long Update(const std::function<long(HiveKey& root, bool* changed)>& change);

 private:
  std::string path_;
  uint32_t mode_;
};

}  // namespace qxfw::platform
