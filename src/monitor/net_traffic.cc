#include "monitor/net_traffic.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/file.h"

namespace qxfw::monitor {
namespace {

// /proc/net/dev of a machine with a few hundred interfaces is well below this.
constexpr size_t kMaxCountersFile = 1u << 20;
constexpr size_t kMaxSpeedFile = 64;
// Fields after "name:": received bytes is the first, sent bytes the ninth.
constexpr int kReceivedField = 0;
constexpr int kSentField = 8;

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Reads the unsigned decimal numbers of one line; false on anything else.
bool ParseNumbers(std::string_view text, std::vector<uint64_t>* numbers) {
  numbers->clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    uint64_t value = 0;
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      uint64_t digit = static_cast<uint64_t>(text[i] - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
      ++i;
    }
    if (i == start || (i < text.size() && text[i] != ' ' && text[i] != '\t')) return false;
    numbers->push_back(value);
  }
  return true;
}

}  // namespace

MFNetTraffic::MFNetTraffic()
    : MFNetTraffic(EnvOr("QXFW_PROC_NET_DEV", "/proc/net/dev"),
                   EnvOr("QXFW_SYSFS_NET", "/sys/class/net")) {}

MFNetTraffic::MFNetTraffic(std::string procNetDev, std::string sysfsNet)
    : procNetDev_(std::move(procNetDev)), sysfsNet_(std::move(sysfsNet)) {
  std::vector<Counters> counters;
  if (!ReadCounters(&counters)) return;
  for (const Counters& c : counters) {
    names_.push_back(c.name);
    bandwidths_.push_back(ReadBandwidth(c.name));
    rawValues_.push_back(0);
  }
}

bool MFNetTraffic::ReadCounters(std::vector<Counters>* out) const {
  std::string text;
  if (!platform::ReadWholeFile(procNetDev_, &text, kMaxCountersFile)) return false;
  out->clear();
  std::vector<uint64_t> numbers;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    // The two heading lines have a "|" and no "name:"; interface names never hold ":".
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, colon));
    if (name.empty() || name.size() > kMaxNameLength) continue;
    if (!ParseNumbers(line.substr(colon + 1), &numbers) || numbers.size() <= kSentField) continue;
    out->push_back({std::string(name), numbers[kReceivedField], numbers[kSentField]});
  }
  return true;
}

uint64_t MFNetTraffic::ReadBandwidth(const std::string& name) const {
  // The kernel reports Mbit/s, or -1 / EINVAL for links without a speed (loopback, down).
  if (name.find('/') != std::string::npos || name == "." || name == "..") return 0;
  std::string text;
  if (!platform::ReadWholeFile(sysfsNet_ + "/" + name + "/speed", &text, kMaxSpeedFile)) return 0;
  std::vector<uint64_t> numbers;
  std::string_view trimmed = Trim(std::string_view(text).substr(0, text.find('\n')));
  if (!ParseNumbers(trimmed, &numbers) || numbers.size() != 1) return 0;
  if (numbers[0] > UINT64_MAX / 1000000) return 0;
  return numbers[0] * 1000000;
}

uint64_t MFNetTraffic::Selected(const Counters& counters) const {
  switch (counterType_) {
    case kReceivedBytes:
      return counters.received;
    case kSentBytes:
      return counters.sent;
    default:
      return counters.received + counters.sent;
  }
}

int MFNetTraffic::FirstExternalInterface() const {
  for (int k = 0; k < InterfaceCount(); ++k) {
    const std::string& name = names_[static_cast<size_t>(k)];
    if (name == "lo" || name.find('/') != std::string::npos || name == "." || name == "..") {
      continue;
    }
    // IFF_LOOPBACK (0x8) in the interface flags marks loopback devices of any name.
    std::string text;
    std::vector<uint64_t> numbers;
    if (platform::ReadWholeFile(sysfsNet_ + "/" + name + "/flags", &text, kMaxSpeedFile)) {
      std::string_view trimmed = Trim(std::string_view(text).substr(0, text.find('\n')));
      if (trimmed.size() > 2 && trimmed[0] == '0' && (trimmed[1] == 'x' || trimmed[1] == 'X')) {
        unsigned long flags = std::strtoul(std::string(trimmed.substr(2)).c_str(), nullptr, 16);
        if ((flags & 0x8) != 0) continue;
      }
    }
    return k;
  }
  return -1;
}

bool MFNetTraffic::ValidIndex(int interfaceIndex) const {
  return interfaceIndex >= 0 && interfaceIndex < InterfaceCount();
}

double MFNetTraffic::Sample(int interfaceIndex) {
  std::vector<Counters> counters;
  // A failed read is no traffic: a made-up rate would be drawn as if bytes had moved.
  if (!ReadCounters(&counters)) return kReadFailed;
  double result = 0;
  for (const Counters& c : counters) {
    // Interfaces come and go; values are matched by name, not by position.
    for (int k = 0; k < InterfaceCount(); ++k) {
      if (names_[static_cast<size_t>(k)] != c.name) continue;
      uint64_t value = Selected(c);
      rawValues_[static_cast<size_t>(k)] = value;
      if (k != interfaceIndex) break;
      double now = static_cast<double>(value);
      if (lastSampled_ == interfaceIndex) {
        result = now >= previous_ ? now - previous_ : 0;
      } else {
        result = 0;
        lastSampled_ = interfaceIndex;
      }
      previous_ = now;
      break;
    }
  }
  return result;
}

uint64_t MFNetTraffic::RawValue(int interfaceIndex) {
  if (!ValidIndex(interfaceIndex)) return 0;
  if (rawValues_[static_cast<size_t>(interfaceIndex)] == 0) Sample(interfaceIndex);
  return rawValues_[static_cast<size_t>(interfaceIndex)];
}

void MFNetTraffic::SetCounterType(int type) {
  int selected = type == kReceivedBytes || type == kSentBytes ? type : kTotalBytes;
  if (selected == counterType_) return;
  counterType_ = selected;
  // The remembered value belongs to the old counter; a difference across the change would
  // show one huge bar.
  lastSampled_ = -1;
  previous_ = 0;
  for (uint64_t& raw : rawValues_) raw = 0;
}

std::string MFNetTraffic::InterfaceName(int interfaceIndex) const {
  return ValidIndex(interfaceIndex) ? names_[static_cast<size_t>(interfaceIndex)] : std::string();
}

uint64_t MFNetTraffic::InterfaceBandwidth(int interfaceIndex) const {
  return ValidIndex(interfaceIndex) ? bandwidths_[static_cast<size_t>(interfaceIndex)] : 0;
}

}  // namespace qxfw::monitor
