// CRegistry: one open key of the registry store, with the reads the image cache needs to list
// the system's known libraries.
//
// The key is closed by the destructor, by Close and before a successful Open. Results are the
// system error numbers of platform/registry_store.h (0 success). One CRegistry belongs to one
// thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry_store.h"

namespace qxfw::store {

class CRegistry {
 public:
  CRegistry();
  virtual ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // Opens root\subkey with access; on success the key held before is closed and the new one
  // kept, on failure the old state stays.
  long Open(platform::RegRoot root, const char* subkey, uint32_t access);
  void Close();

  // Number of values, and on request the number of subkeys and the longest value name and
  // data (pointers may be null).
  long QueryInfo(uint32_t* values, uint32_t* subkeys = nullptr,
                 uint32_t* max_value_name_length = nullptr,
                 uint32_t* max_value_data_length = nullptr) const;

  // Reads a string value into buffer; *size is the buffer size in and the value's size in
  // bytes (with its zero) out. kErrorInvalidData (13) for a value that is not a string or
  // expandable string, or a non-empty value that does not end in a zero byte; an empty value
  // gives "". kErrorMoreData when the buffer is too small.
  long QueryString(const char* name, char* buffer, uint32_t* size) const;

  // The index-th value's name, type and data (any pointer may be null).
  long EnumValue(uint32_t index, std::string* name, uint32_t* type, std::string* data) const;

  // The path of the known library in value index: the key's "DllDirectory" (read once per
  // object, environment variables expanded, "/" appended) followed by the value's text.
  // Returns 0; the enumeration's error (kErrorNoMoreItems, 259, past the end); kErrorNoData
  // (232) for the "DllDirectory" value itself; kErrorInvalidData (13) for a value that is not
  // a string; kErrorMoreData when the path does not fit in size bytes with its zero.
  long GetKnownDllPath(uint32_t index, char* buffer, uint32_t size);

 private:
  platform::RegKey key_;
  std::optional<std::string> dll_directory_;
};

}  // namespace qxfw::store
