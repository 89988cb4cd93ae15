#include "platform/text_compare.h"

#include <cstring>

namespace qxfw::platform {
namespace {

inline unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Fold(static_cast<unsigned char>(a[i]));
    unsigned char y = Fold(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int CompareBufferNoCase(const char* a, const char* b, size_t size) {
  return CompareNoCase(std::string_view(a, strnlen(a, size)),
                       std::string_view(b, strnlen(b, size)));
}

}  // namespace qxfw::platform
