#include "rules_ui/rule_checks.h"

#include <algorithm>
#include <cstring>

#include "platform/address_text.h"
#include "rules_ui/rule_rows.h"

namespace qxfw::rules_ui {
namespace {

constexpr int kCaptionProgram = 196;
constexpr int kCaptionPort = 194;
constexpr int kCaptionIp = 207;
constexpr int kCaptionPolicy = 206;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Reads both addresses; 0 when the pair is fine, else the message.
int ReadAddresses(const std::string& beginText, const std::string& endText, int zeroMessage,
                  int orderMessage, uint32_t* begin, uint32_t* end) {
  *begin = ParseAddressField(beginText);
  *end = ParseAddressField(endText);
  if (*begin == 0 || *end == 0) return zeroMessage;
  if (*end < *begin) return orderMessage;
  return 0;
}

}  // namespace

std::optional<uint16_t> ParsePortField(std::string_view text) {
  text = Trimmed(text);
  if (text.size() > 10) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

uint32_t ParseAddressField(std::string_view text) {
  text = Trimmed(text);
  if (text.empty() || text.size() > 255) return 0;
  // Exactly four numbers with three dots and nothing else.
  int dots = 0;
  for (char c : text) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return 0;
    }
  }
  if (dots != 3) return 0;
  return platform::ParseHostAddress(std::string(text).c_str());
}

CheckResult CheckProgramFields(const ProgramFields& fields, store::tagFIREWALL_PROGRAM* rule) {
  if (fields.path.empty()) return {84, kCaptionProgram};
  if (fields.path.size() > store::kProgramPathLimit) return {94, kCaptionProgram};
  if (fields.choice == 2 && fields.policyCount == 0) return {85, kCaptionProgram};
  std::memset(rule->path, 0, sizeof(rule->path));
  std::memcpy(rule->path, fields.path.data(), fields.path.size());
  rule->action = fields.choice == 1   ? store::kActionAllow
                 : fields.choice == 0 ? store::kActionBlock
                                      : store::kActionPolicy;
  return {};
}

CheckResult CheckPortFields(const PortFields& fields, const store::tagFIREWALL_PORTIP& before,
                            store::tagFIREWALL_PORTIP* rule) {
  if (!fields.ipChecked && !fields.portChecked) return {90, kCaptionPort};
  store::tagFIREWALL_PORTIP result = before;
  result.action = fields.allow ? 1 : 0;
  result.beginIp = 0;
  result.endIp = 0;
  if (fields.ipChecked) {
    int message =
        ReadAddresses(fields.beginIp, fields.endIp, 86, 91, &result.beginIp, &result.endIp);
    if (message != 0) return {message, kCaptionIp};
    if (!fields.portChecked) {
      std::memset(result.description, 0, sizeof(result.description));
      result.protocol = store::kProtocolAll;
      if (!IsProtectedPortType(before.portType)) result.portType = store::kPortTypeAddressOnly;
    }
  }
  if (!fields.portChecked) {
    result.beginPort = 0;
    result.endPort = 0;
    *rule = result;
    return {};
  }
  std::optional<uint16_t> begin = ParsePortField(fields.beginPort);
  std::optional<uint16_t> end = fields.rangeChecked ? ParsePortField(fields.endPort) : begin;
  if (!begin || !end || *begin == 0 || *end == 0) return {87, kCaptionPort};
  if (*end < *begin) return {92, kCaptionPort};
  if (Trimmed(fields.description).empty()) return {93, kCaptionPort};
  result.beginPort = *begin;
  result.endPort = *end;
  std::memset(result.description, 0, sizeof(result.description));
  std::memcpy(result.description, fields.description.data(),
              std::min(fields.description.size(), kDescriptionLimit));
  result.protocol = fields.tcp ? store::kProtocolTcp : store::kProtocolUdp;
  *rule = result;
  return {};
}

CheckResult CheckPolicyFields(const PolicyFields& fields, store::tagPOLICY* entry) {
  if (!fields.ipChecked && !fields.portChecked) return {193, kCaptionPolicy};
  store::tagPOLICY result{};
  result.action = fields.allow ? 1 : 0;
  if (fields.ipChecked) {
    int message =
        ReadAddresses(fields.beginIp, fields.endIp, 182, 184, &result.beginIp, &result.endIp);
    if (message != 0) return {message, kCaptionPolicy};
  }
  if (fields.portChecked) {
    std::optional<uint16_t> begin = ParsePortField(fields.beginPort);
    std::optional<uint16_t> end = ParsePortField(fields.endPort);
    if (!begin || !end || *begin == 0 || *end == 0) return {183, kCaptionPolicy};
    if (*end < *begin) return {185, kCaptionPolicy};
    result.beginPort = *begin;
    result.endPort = *end;
    result.protocol = fields.tcp ? store::kProtocolTcp : store::kProtocolUdp;
  }
  *entry = result;
  return {};
}

std::vector<ControlState> ProgramDialogStates(bool advanced, bool modifyMode, bool policyOnly) {
  std::vector<ControlState> states;
  for (int id : {1005, 1003, 1004}) states.push_back({id, !modifyMode && !policyOnly});
  for (int id : {1009, 1010}) states.push_back({id, !policyOnly});
  for (int id : {1014, 1015, 1016, 1017}) states.push_back({id, advanced || policyOnly});
  return states;
}

std::vector<ControlState> PortDialogStates(bool ipChecked, bool portChecked, bool rangeChecked,
                                           bool protectedRule) {
  const bool free = !protectedRule;
  std::vector<ControlState> states;
  states.push_back({1140, free});
  states.push_back({1125, free});
  for (int id : {1020, 1021}) states.push_back({id, free && ipChecked});
  for (int id : {1056, 1022, 1050, 1024, 1025}) states.push_back({id, free && portChecked});
  states.push_back({1023, free && portChecked, rangeChecked});
  states.push_back({1055, true, rangeChecked});
  return states;
}

std::vector<ControlState> PolicyDialogStates(bool ipChecked, bool portChecked) {
  std::vector<ControlState> states;
  for (int id : {1020, 1021}) states.push_back({id, ipChecked});
  for (int id : {1022, 1023, 1024, 1025}) states.push_back({id, portChecked});
  return states;
}

}  // namespace qxfw::rules_ui
