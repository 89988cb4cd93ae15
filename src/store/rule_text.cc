#include "store/rule_text.h"

#include <cstring>

#include "platform/text_split.h"

namespace qxfw::store {
namespace {

// A decimal number in [0, max]: digits only, no sign, no overflow.
bool ReadNumber(std::string_view field, uint32_t max, uint32_t* out) {
  if (field.empty() || field.size() > 10) return false;
  uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// A dotted quad with exactly four parts of 0 to 255, first part in the highest byte.
bool ReadAddress(std::string_view field, uint32_t* out) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= field.size(); ++i) {
    if (i == field.size() || field[i] == '.') {
      parts.push_back(field.substr(start, i - start));
      start = i + 1;
    }
  }
  if (parts.size() != 4) return false;
  uint32_t address = 0;
  for (std::string_view part : parts) {
    uint32_t byte = 0;
    if (part.size() > 3 || !ReadNumber(part, 255, &byte)) return false;
    address = (address << 8) | byte;
  }
  *out = address;
  return true;
}

void CopyText(std::string_view text, char* buffer, size_t size) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

template <typename Rule, typename ParseItem>
bool ParseList(std::string_view value, std::vector<Rule>* rules, ParseItem parse) {
  rules->clear();
  std::vector<std::string_view> items = SplitSkippingEmpty(value, ';');
  if (items.size() > kMaxRuleItems) return false;
  for (std::string_view item : items) {
    Rule rule{};
    if (!parse(item, &rule)) {
      rules->clear();
      return false;
    }
    rules->push_back(rule);
  }
  return true;
}

}  // namespace

std::vector<std::string_view> SplitSkippingEmpty(std::string_view text, char separator) {
  return platform::SplitNonEmpty(text, separator);
}

bool ParseProgramItem(std::string_view item, tagFIREWALL_PROGRAM* rule) {
  std::vector<std::string_view> f = SplitSkippingEmpty(item, ',');
  if (f.size() != 2) return false;
  tagFIREWALL_PROGRAM r{};
  uint32_t action = 0;
  if (!ReadNumber(f[0], kActionAllow, &action)) return false;
  r.action = static_cast<int16_t>(action);
  CopyText(f[1], r.path, kProgramPathLimit + 1);
  *rule = r;
  return true;
}

bool ParsePortIpItem(std::string_view item, tagFIREWALL_PORTIP* rule) {
  std::vector<std::string_view> f = SplitSkippingEmpty(item, ',');
  if (f.size() != 8) return false;
  tagFIREWALL_PORTIP r{};
  uint32_t action = 0, beginPort = 0, endPort = 0, protocol = 0, portType = 0;
  if (!ReadNumber(f[0], kActionAllow, &action) || !ReadNumber(f[1], 65535, &beginPort) ||
      !ReadNumber(f[2], 65535, &endPort) || !ReadAddress(f[3], &r.beginIp) ||
      !ReadAddress(f[4], &r.endIp) || !ReadNumber(f[5], kProtocolAll, &protocol) ||
      !ReadNumber(f[7], kPortTypeAddressOnly, &portType)) {
    return false;
  }
  r.action = static_cast<int16_t>(action);
  r.beginPort = static_cast<uint16_t>(beginPort);
  r.endPort = static_cast<uint16_t>(endPort);
  r.protocol = static_cast<uint16_t>(protocol);
  CopyText(f[6], r.description, sizeof(r.description));
  r.portType = static_cast<uint16_t>(portType);
  *rule = r;
  return true;
}

bool ParseProgramList(std::string_view value, std::vector<tagFIREWALL_PROGRAM>* rules) {
  return ParseList(value, rules, ParseProgramItem);
}

bool ParsePortIpList(std::string_view value, std::vector<tagFIREWALL_PORTIP>* rules) {
  return ParseList(value, rules, ParsePortIpItem);
}

const char* ProgramActionWord(int action) {
  switch (action) {
    case kActionBlock:
      return "Block";
    case kActionAllow:
      return "Allow";
    case kActionPolicy:
      return "Policy";
    default:
      return "";
  }
}

const char* PortIpActionWord(int action) {
  return action == kActionAllow ? "Allow" : "Block";
}

const char* ProtocolWord(int protocol) {
  switch (protocol) {
    case kProtocolTcp:
      return "TCP";
    case kProtocolUdp:
      return "UDP";
    case kProtocolAll:
      return "ALL";
    default:
      return "";
  }
}

const char* PortTypeWord(int portType) {
  switch (portType) {
    case kPortTypeUser:
      return "User Defined Port";
    case kPortTypeSystem:
      return "System Port";
    case kPortTypeHackingTool:
      return "Hacking Tool Port";
    default:
      return "";
  }
}

}  // namespace qxfw::store
