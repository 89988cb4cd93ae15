#include "monitor/proc_net.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>

#include "platform/file.h"

namespace qxfw::monitor {
namespace {

// Splits off the next blank-separated field; empty when the line is used up.
std::string_view NextField(std::string_view* line) {
  size_t start = line->find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    *line = {};
    return {};
  }
  size_t end = line->find_first_of(" \t", start);
  if (end == std::string_view::npos) end = line->size();
  std::string_view field = line->substr(start, end - start);
  line->remove_prefix(end);
  return field;
}

template <typename T>
bool ParseNumber(std::string_view text, int base, size_t exactDigits, T* value) {
  if (text.empty() || (exactDigits != 0 && text.size() != exactDigits)) return false;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, *value, base);
  return error == std::errc() && stop == end;
}

// "0100007F:0035": the address as the kernel prints the raw network-order word, then the port
// in host order.
bool ParseEndpoint(std::string_view text, uint32_t* address, uint16_t* port) {
  if (text.size() != 13 || text[8] != ':') return false;
  uint32_t hostPort = 0;
  if (!ParseNumber(text.substr(0, 8), 16, 8, address)) return false;
  if (!ParseNumber(text.substr(9), 16, 4, &hostPort)) return false;
  *port = htons(static_cast<uint16_t>(hostPort));
  return true;
}

bool ParseLine(std::string_view line, InetSocketRow* row) {
  std::string_view slot = NextField(&line);
  if (slot.empty() || slot.back() != ':') return false;
  if (!ParseEndpoint(NextField(&line), &row->localAddr, &row->localPort)) return false;
  if (!ParseEndpoint(NextField(&line), &row->remoteAddr, &row->remotePort)) return false;
  if (!ParseNumber(NextField(&line), 16, 2, &row->linuxState)) return false;
  for (int skipped = 0; skipped < 5; ++skipped) {  // queues, timer, retransmits, uid, timeout
    if (NextField(&line).empty()) return false;
  }
  return ParseNumber(NextField(&line), 10, 0, &row->inode);
}

}  // namespace

void ParseProcNetTable(std::string_view text, std::vector<InetSocketRow>* rows) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    InetSocketRow row;
    if (ParseLine(line, &row)) rows->push_back(row);
  }
}

bool ReadProcNetTable(const std::string& path, std::vector<InetSocketRow>* rows) {
  std::string text;
  if (!platform::ReadWholeFile(path, &text)) return false;
  ParseProcNetTable(text, rows);
  return true;
}

}  // namespace qxfw::monitor
