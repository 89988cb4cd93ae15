// The quarantine header of a file from disk: a parsed header never reaches past its ";", a
// folder field reads back the same when written again, and a target that passes the check is
// absolute and free of "..", NUL and control characters.
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
  const size_t folder_field = header.has_folder ? 1 + qxfw::avlib::kFolderIdBytes : 0;
  FUZZ_CHECK(header.path.size() + 1 + header.note.size() + folder_field + 1 == header.body_offset);
  if (header.has_folder) {
    // Written again, the header reads back the same.
    std::string again = qxfw::avlib::MakeQuarantineHeader(header.path, header.note, header.folder);
    qxfw::avlib::QuarantineHeader reread;
    FUZZ_CHECK(again == bytes.substr(0, header.body_offset));
    FUZZ_CHECK(qxfw::avlib::ParseQuarantineHeader(again, &reread));
    FUZZ_CHECK(reread.has_folder && reread.folder == header.folder && reread.note == header.note);
  }
  if (qxfw::avlib::RestoreTargetIsSafe(header.path)) {
    FUZZ_CHECK(header.path[0] == '/');
    FUZZ_CHECK(header.path.find("/../") == std::string::npos);
    FUZZ_CHECK(header.path.find('\0') == std::string::npos);
    for (unsigned char c : header.path) FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  }
  return 0;
}
