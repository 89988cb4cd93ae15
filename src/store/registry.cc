#include "store/registry.h"

#include <cstring>
#include <vector>

#include "platform/path_text.h"
#include "platform/text_compare.h"

namespace qxfw::store {
namespace {

using namespace platform;  // error numbers and value types

constexpr char kDllDirectoryValue[] = "DllDirectory";

// A string value's text: its bytes up to the first zero.
std::string TextOf(const std::string& data) {
  return data.substr(0, data.find('\0'));
}

}  // namespace

CRegistry::CRegistry() = default;
CRegistry::~CRegistry() = default;

long CRegistry::Open(RegRoot root, const char* subkey, uint32_t access) {
  return key_.Open(root, subkey != nullptr ? subkey : "", access);
}

void CRegistry::Close() {
  key_.Close();
}

long CRegistry::QueryInfo(uint32_t* values, uint32_t* subkeys, uint32_t* max_value_name_length,
                          uint32_t* max_value_data_length) const {
  return key_.QueryInfo(subkeys, values, max_value_name_length, max_value_data_length);
}

long CRegistry::QueryString(const char* name, char* buffer, uint32_t* size) const {
  if (buffer == nullptr || size == nullptr) return kErrorInvalidParameter;
  uint32_t type = kRegNone;
  uint32_t need = 0;
  long result = key_.QueryValue(name != nullptr ? name : "", &type, nullptr, &need);
  if (result != kErrorSuccess) return result;
  if (type != kRegSz && type != kRegExpandSz) return kErrorInvalidData;
  if (need == 0) {
    if (*size == 0) return kErrorMoreData;
    buffer[0] = '\0';
    *size = 0;
    return kErrorSuccess;
  }
  std::vector<char> data(need);
  result = key_.QueryValue(name != nullptr ? name : "", &type, data.data(), &need);
  if (result != kErrorSuccess) return result;
  if (data[need - 1] != '\0') return kErrorInvalidData;
  if (*size < need) {
    *size = need;
    return kErrorMoreData;
  }
  std::memcpy(buffer, data.data(), need);
  *size = need;
  return kErrorSuccess;
}

long CRegistry::EnumValue(uint32_t index, std::string* name, uint32_t* type,
                          std::string* data) const {
  return key_.EnumValue(index, name, type, data);
}

long CRegistry::GetKnownDllPath(uint32_t index, char* buffer, uint32_t size) {
  if (!dll_directory_) {
    std::string directory;
    char text[1024];
    uint32_t length = sizeof(text);
    if (QueryString(kDllDirectoryValue, text, &length) == kErrorSuccess) {
      directory = ExpandEnvironment(text);
    }
    dll_directory_ = directory + "/";
  }
  std::string name;
  uint32_t type = kRegNone;
  std::string data;
  long result = key_.EnumValue(index, &name, &type, &data);
  if (result != kErrorSuccess) return result;
  // The type is checked first: a directory value stored as an expandable string is "not a
  // string" here, like any other value of another type.
  if (type != kRegSz) return kErrorInvalidData;
  if (EqualNoCase(name, kDllDirectoryValue)) return kErrorNoData;
  std::string path = *dll_directory_ + TextOf(data);
  if (buffer == nullptr || path.size() + 1 > size) return kErrorMoreData;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return kErrorSuccess;
}

}  // namespace qxfw::store
