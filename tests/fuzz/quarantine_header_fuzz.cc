// The quarantine header of a file from disk: a parsed header never reaches past its ";", and
// a target that passes the check is absolute and free of "..", NUL and control characters.
#include <cstdint>
#include <string>

#include "avlib/quarantine.h"
#include "avlib/quarantine_format.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  qxfw::avlib::QuarantineHeader header;
  if (!qxfw::avlib::ParseQuarantineHeader(bytes, &header)) return 0;
  FUZZ_CHECK(header.body_offset <= qxfw::avlib::kMaxHeaderBytes + 1);
  FUZZ_CHECK(bytes[header.body_offset - 1] == ';');
  FUZZ_CHECK(header.path.find('|') == std::string::npos);
  FUZZ_CHECK(header.path.size() + 1 + header.note.size() + 1 == header.body_offset);
  if (qxfw::avlib::RestoreTargetIsSafe(header.path)) {
    FUZZ_CHECK(header.path[0] == '/');
    FUZZ_CHECK(header.path.find("/../") == std::string::npos);
    FUZZ_CHECK(header.path.find('\0') == std::string::npos);
    for (unsigned char c : header.path) FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  }
  return 0;
}
