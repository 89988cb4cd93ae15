#include "rules_ui/rule_rows.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/address_text.h"
#include "platform/text_compare.h"

namespace qxfw::rules_ui {
namespace {

std::string_view PathOf(const store::tagFIREWALL_PROGRAM& rule) {
  return std::string_view(rule.path, strnlen(rule.path, sizeof(rule.path)));
}

std::string EndText(uint32_t address, uint16_t port) {
  char text[40];
  if (address != 0 && port != 0) {
    std::snprintf(text, sizeof(text), "%s:%d", platform::HostAddressText(address).c_str(), port);
  } else if (address != 0) {
    std::snprintf(text, sizeof(text), "%s:*", platform::HostAddressText(address).c_str());
  } else if (port != 0) {
    std::snprintf(text, sizeof(text), "*:%d", port);
  } else {
    std::snprintf(text, sizeof(text), "*:*");
  }
  return text;
}

}  // namespace

std::string ProgramFileName(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(path.substr(slash + 1));
}

int ProgramActionString(int action) {
  switch (action) {
    case store::kActionBlock:
      return 11;
    case store::kActionAllow:
      return 10;
    case store::kActionPolicy:
      return 12;
    default:
      return -1;
  }
}

std::string PortIpEndText(const store::tagFIREWALL_PORTIP& rule, bool end) {
  // An address-only rule shows ":*" on both ends, decided by the begin port.
  uint32_t address = rule.beginIp != 0 ? (end ? rule.endIp : rule.beginIp) : 0;
  uint16_t port = end ? rule.endPort : rule.beginPort;
  if (rule.beginPort == 0) port = 0;
  return EndText(address, port);
}

const char* PortIpProtocolText(int protocol) {
  switch (protocol) {
    case store::kProtocolTcp:
      return "TCP";
    case store::kProtocolUdp:
      return "UDP";
    case store::kProtocolAll:
      return "ALL";
    default:
      return "";
  }
}

int PortTypeString(int portType) {
  switch (portType) {
    case store::kPortTypeUser:
      return 95;
    case store::kPortTypeSystem:
      return 96;
    case store::kPortTypeHackingTool:
      return 97;
    default:
      return -1;
  }
}

int PortIpActionString(int action) {
  if (action == 1) return 10;
  if (action == 0) return 11;
  return -1;
}

std::string PolicyEndText(const store::tagPOLICY& entry, bool end) {
  return EndText(end ? entry.endIp : entry.beginIp, end ? entry.endPort : entry.beginPort);
}

const char* PolicyPortText(const store::tagPOLICY& entry) {
  if (entry.beginPort == 0 && entry.endPort == 0) return "";
  return entry.protocol == store::kProtocolTcp ? "TCP" : "UDP";
}

int PolicyActionString(int action) {
  return action == 1 ? 10 : 11;
}

void ProgramSortState::Click(int column) {
  ascending_ = column == clicked_ ? !ascending_ : true;
  clicked_ = column;
  column_ = column;
}

void SortPrograms(std::vector<store::tagFIREWALL_PROGRAM>& rules, int column, bool ascending) {
  // Keys are views into the records, taken once; the records move only at the end.
  struct Keyed {
    std::string_view key;
    int action;
    size_t index;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(rules.size());
  for (size_t i = 0; i < rules.size(); ++i) {
    std::string_view path = PathOf(rules[i]);
    if (column == 0) {
      size_t slash = path.rfind('/');
      if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
    }
    keyed.push_back({path, rules[i].action, i});
  }
  auto less = [column](const Keyed& a, const Keyed& b) {
    if (column == 0 || column == 1) return platform::CompareNoCase(a.key, b.key) < 0;
    return a.action < b.action;
  };
  if (ascending) {
    std::stable_sort(keyed.begin(), keyed.end(), less);
  } else {
    std::stable_sort(keyed.begin(), keyed.end(),
                     [&less](const Keyed& a, const Keyed& b) { return less(b, a); });
  }
  std::vector<store::tagFIREWALL_PROGRAM> sorted;
  sorted.reserve(rules.size());
  for (const Keyed& k : keyed) sorted.push_back(rules[k.index]);
  rules.swap(sorted);
}

bool SortPortRules(std::vector<store::tagFIREWALL_PORTIP>& rules, int column, bool ascending) {
  auto key = [column](const store::tagFIREWALL_PORTIP& r) -> int {
    switch (column) {
      case 0:
      case 1:
        return r.beginPort;
      case 2:
        return r.protocol;
      default:
        return r.action;
    }
  };
  if (column < 0 || column > 3) return false;
  std::stable_sort(rules.begin(), rules.end(), [&key, ascending](const auto& a, const auto& b) {
    return ascending ? key(a) < key(b) : key(b) < key(a);
  });
  return true;
}

}  // namespace qxfw::rules_ui
