// Case-insensitive comparison of UTF-8 texts (paths, share names).
//
// Only ASCII letters are folded; every byte of a multibyte sequence is >= 0x80 and is compared
// as it stands, so a multibyte character compares as one unit and never matches a different
// character. Results order like strcmp on the folded bytes (unsigned).
#pragma once

#include <string_view>

namespace qxfw::platform {

int CompareNoCase(std::string_view a, std::string_view b);
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

// Compares the zero-terminated texts in two fixed buffers, reading at most size bytes of each.
int CompareBufferNoCase(const char* a, const char* b, size_t size);

}  // namespace qxfw::platform
