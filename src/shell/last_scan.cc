#include "shell/last_scan.h"

#include <cerrno>
#include <string_view>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"

namespace qxfw::shell {
namespace {

constexpr char kSection[] = "[LastScan]";
constexpr size_t kMaxFileSize = 1024;

// A decimal number of at most 19 digits (no sign, no blanks).
bool ParseNumber(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

}  // namespace

std::string LastScanPath() {
  return platform::AntiVirusFolder() + "/LastScan.ini";
}

bool WriteLastScan(const std::string& path, const LastScanRecord& record) {
  if (record.finished < 0) {
    errno = EINVAL;
    return false;
  }
  std::string text = std::string(kSection) + "\nFinished=" + std::to_string(record.finished) +
                     "\nScanned=" + std::to_string(record.scanned) +
                     "\nInfected=" + std::to_string(record.infected) +
                     "\nErrors=" + std::to_string(record.errors) + "\n";
  return platform::ReplaceFile(path, text, 0600);
}

std::optional<LastScanRecord> ReadLastScan(const std::string& path) {
  std::string text;
  if (!platform::ReadWholeFile(path, &text, kMaxFileSize + 1)) return std::nullopt;
  if (text.size() > kMaxFileSize || text.rfind(kSection, 0) != 0) {
    platform::DebugOutput("[QXFW.exe] %s is not a scan record", path.c_str());
    return std::nullopt;
  }
  LastScanRecord record;
  uint64_t finished = 0;
  unsigned seen = 0;  // one bit per field
  size_t at = text.find('\n');
  while (at != std::string::npos && at + 1 < text.size()) {
    size_t end = text.find('\n', at + 1);
    if (end == std::string::npos) return std::nullopt;  // cut short
    std::string_view line(text.data() + at + 1, end - at - 1);
    at = end;
    size_t equal = line.find('=');
    if (equal == std::string_view::npos) return std::nullopt;
    std::string_view key = line.substr(0, equal);
    static constexpr std::string_view kKeys[] = {"Finished", "Scanned", "Infected", "Errors"};
    uint64_t* const fields[] = {&finished, &record.scanned, &record.infected, &record.errors};
    for (unsigned i = 0; i < 4; ++i) {
      if (key != kKeys[i]) continue;
      if (!ParseNumber(line.substr(equal + 1), fields[i])) return std::nullopt;
      seen |= 1u << i;
    }
  }
  if (seen != 0xF || finished > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  record.finished = static_cast<int64_t>(finished);
  return record;
}

}  // namespace qxfw::shell
