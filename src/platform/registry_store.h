// The registry store: keys and typed values kept in two hive files.
//
//   machine hive  <system folder>/registry/machine.hive   (RegRoot::kLocalMachine)
//   user hive     $XDG_CONFIG_HOME/qxfw/user.hive, else ~/.config/qxfw/user.hive
//                 (RegRoot::kCurrentUser); $QXFW_REGISTRY_DIR puts both hives in one folder
//
// Key paths use "\" between levels and compare case-insensitively, as do value names; the
// default value of a key has the empty name. A few keys are answered from the running Linux
// system instead of a hive and are read-only (see docs/formats/registry_hive.md): the default
// browser command under SOFTWARE\Classes\HTTP\shell\open\command, the image paths of mapped
// services under SYSTEM\CurrentControlSet\Services\<name>, and the program files path. Keys
// with no meaning here (KnownDLLs) simply do not exist.
//
// Results are the system error numbers the callers test (kErrorSuccess, kErrorFileNotFound, ...).
// A RegKey belongs to one thread; several RegKeys may be open at once, in one or more threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qxfw::platform {

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidData = 13;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorNoData = 232;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;
constexpr long kErrorBadDb = 1009;       // the hive file exists but is not a usable hive
constexpr long kErrorKeyDeleted = 1018;  // the open key was deleted meanwhile

enum RegValueType : uint32_t { kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegDword = 4 };

enum class RegRoot { kLocalMachine, kCurrentUser };

enum RegAccess : uint32_t {
  kKeyQueryValue = 0x0001,
  kKeySetValue = 0x0002,
  kKeyEnumerateSubKeys = 0x0008,
  kKeyRead = 0x20019,
  kKeyWrite = 0x20006,
  kKeyAllAccess = 0xF003F,
};

// One open key. Closing happens in the destructor, in Close, and before a successful Open.
class RegKey {
 public:
  RegKey();
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens root\subkey; kErrorFileNotFound when it does not exist. On failure the key held
  // before (if any) stays open.
  long Open(RegRoot root, std::string_view subkey, uint32_t access);
  // Opens root\subkey, creating it and its parents when missing (needs a writable hive).
  long Create(RegRoot root, std::string_view subkey, uint32_t access);
  void Close();
  bool IsOpen() const;

  // Reads a value. data may be null to ask only for type and size; *size is in/out in bytes.
  // kErrorMoreData (with *size set to the need) when the buffer is too small. String values
  // are stored with their terminating zero, as they were set.
  long QueryValue(std::string_view name, uint32_t* type, void* data, uint32_t* size) const;
  // Enumerates values in the order they were first set; kErrorNoMoreItems past the end.
  long EnumValue(uint32_t index, std::string* name, uint32_t* type, std::string* data) const;
  // Enumerates direct subkeys (names only); kErrorNoMoreItems past the end.
  long EnumKey(uint32_t index, std::string* name) const;
  // Counts and maximum lengths; any pointer may be null.
  long QueryInfo(uint32_t* subkeys, uint32_t* values, uint32_t* maxValueNameLength,
                 uint32_t* maxValueDataLength) const;

  long SetValue(std::string_view name, uint32_t type, const void* data, uint32_t size);
  long SetString(std::string_view name, std::string_view text, uint32_t type = kRegSz);
  long SetDword(std::string_view name, uint32_t value);
  long DeleteValue(std::string_view name);

  // Deletes root\subkey with everything below it.
  static long DeleteKey(RegRoot root, std::string_view subkey);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The hive file that holds root's keys (see the top of this header).
std::string RegistryHivePath(RegRoot root);

// Reads one value into a zero-filled buffer: opens the key with query access, reads, closes.
// True only when the value was read (strings come out zero-terminated when they fit).
bool RegReadValue(RegRoot root, const char* subkey, const char* value, char* buffer, uint32_t size);

}  // namespace qxfw::platform
