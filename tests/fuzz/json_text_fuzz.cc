// Any bytes quoted for --json give a JSON string that is valid UTF-8 (checked by iconv, a
// decoder of its own) with no raw control byte; terminal text has no control byte either.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ctl/json_writer.h"
#include "fuzz_check.h"

namespace {

bool IconvAcceptsUtf8(const std::string& text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return true;  // no converter: nothing to check with
  std::string in = text;
  std::string out(in.size() * 4 + 4, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == static_cast<size_t>(-1) || inLeft != 0) return false;
  // glibc takes surrogates as errors; check the decoded code points for them and the range.
  for (char* p = out.data(); p + 4 <= outPtr; p += 4) {
    uint32_t point = static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[1]) << 8 |
                     static_cast<uint8_t>(p[2]) << 16 |
                     static_cast<uint32_t>(static_cast<uint8_t>(p[3])) << 24;
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string quoted = qxfw::ctl::JsonWriter::Quote(bytes);
  FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
  FUZZ_CHECK(IconvAcceptsUtf8(quoted));
  FUZZ_CHECK(qxfw::ctl::JsonWriter::IsValidUtf8(quoted));
  // Inside the quotes: no raw control byte, every backslash starts a known escape, no bare
  // quote.
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(quoted[i]);
    FUZZ_CHECK(c >= 0x20 && c != 0x7F && c != '"');
    if (c == '\\') {
      FUZZ_CHECK(i + 2 < quoted.size());
      char e = quoted[++i];
      FUZZ_CHECK(std::string_view("\"\\nrtu").find(e) != std::string_view::npos);
      if (e == 'u') {
        FUZZ_CHECK(i + 4 < quoted.size());
        i += 4;
      }
    }
  }
  // Well-formed input is kept byte for byte apart from escapes.
  if (qxfw::ctl::JsonWriter::IsValidUtf8(bytes)) {
    FUZZ_CHECK(IconvAcceptsUtf8(std::string(bytes)));
    FUZZ_CHECK(quoted.find("\\ufffd") == std::string::npos);
  }
  std::string shown = qxfw::ctl::TerminalText(bytes);
  FUZZ_CHECK(IconvAcceptsUtf8(shown));
  for (unsigned char c : shown) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
  return 0;
}
