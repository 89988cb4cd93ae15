#include "store/rule_text.h"

#include <cstdlib>
#include <cstring>

#include "platform/address_text.h"
#include "platform/text_split.h"

namespace qxfw::store {
namespace {

int ReadInt(std::string_view field) {
  return std::atoi(std::string(field).c_str());
}

uint32_t ReadAddress(std::string_view field) {
  return platform::ParseHostAddress(std::string(field).c_str());
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
  r.action = static_cast<int16_t>(ReadInt(f[0]));
  CopyText(f[1], r.path, kProgramPathLimit + 1);
  *rule = r;
  return true;
}

bool ParsePortIpItem(std::string_view item, tagFIREWALL_PORTIP* rule) {
  std::vector<std::string_view> f = SplitSkippingEmpty(item, ',');
  if (f.size() != 8) return false;
  tagFIREWALL_PORTIP r{};
  r.action = static_cast<int16_t>(ReadInt(f[0]));
  r.beginPort = static_cast<uint16_t>(ReadInt(f[1]));
  r.endPort = static_cast<uint16_t>(ReadInt(f[2]));
  r.beginIp = ReadAddress(f[3]);
  r.endIp = ReadAddress(f[4]);
  r.protocol = static_cast<uint16_t>(ReadInt(f[5]));
  CopyText(f[6], r.description, sizeof(r.description));
  r.portType = static_cast<uint16_t>(ReadInt(f[7]));
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
