// File-list lines from the download area: an entry's name, once it passes the name check, is
// a plain file name that cannot leave the engine folder.
#include <cstdint>
#include <string>

#include "avlib/update_exchange.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    qxfw::avlib::ListEntry entry;
    if (qxfw::avlib::ParseListLine(std::string_view(text).substr(start, end - start), &entry) ==
            qxfw::avlib::ListLine::kEntry &&
        qxfw::avlib::ListedNameIsSafe(entry.name)) {
      const std::string local = qxfw::avlib::LocalUpdateName(entry.name);
      FUZZ_CHECK(!local.empty() && local[0] != '.');
      FUZZ_CHECK(local.find('/') == std::string::npos && local.find("..") == std::string::npos);
      FUZZ_CHECK(local.find('\0') == std::string::npos);
    }
    start = end + 1;
  }
  return 0;
}
