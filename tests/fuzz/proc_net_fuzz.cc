// The /proc/net/tcp and /proc/net/udp parser on damaged tables.
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "monitor/proc_net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<qxfw::monitor::InetSocketRow> rows;
  qxfw::monitor::ParseProcNetTable(text, &rows);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  FUZZ_CHECK(rows.size() <= lines + 1);
  return 0;
}
