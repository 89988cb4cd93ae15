// Text forms of rules: the items of the start-up options G and P and of qxfwctl, and the
// display words of the record codes.
//
// A program item is "action,path"; an IP/port item is "action,beginPort,endPort,beginIp,
// endIp,protocol,description,portType" with decimal numbers and dotted-quad addresses.
// Fields are split at commas and consecutive commas count as one separator, so an empty field
// is skipped rather than counted. Stateless and thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/rule_records.h"

namespace qxfw::store {

// Splits at any of the separator characters, skipping empty pieces.
std::vector<std::string_view> SplitSkippingEmpty(std::string_view text, char separator);

// One item each; false (and the record untouched) when the item does not have exactly 2
// (program) or 8 (IP/port) fields, or when a field is out of range. Numbers are plain decimal
// digits (actions 0-1, ports 0-65535, protocol and port type 0-4); addresses are four parts of
// 0-255 ("10.0" or "256.1.1.1" refuse the item). Records start zero-filled.
bool ParseProgramItem(std::string_view item, tagFIREWALL_PROGRAM* rule);
bool ParsePortIpItem(std::string_view item, tagFIREWALL_PORTIP* rule);

// A list of items separated by ";", at most 50. All or nothing: a longer list or any bad item
// gives false and an empty result.
constexpr size_t kMaxRuleItems = 50;
bool ParseProgramList(std::string_view value, std::vector<tagFIREWALL_PROGRAM>* rules);
bool ParsePortIpList(std::string_view value, std::vector<tagFIREWALL_PORTIP>* rules);

// English display words of the codes ("Block", "Allow", "Policy", "TCP", "UDP", "ALL",
// "User Defined Port", "System Port", "Hacking Tool Port", "" otherwise).
const char* ProgramActionWord(int action);
const char* PortIpActionWord(int action);
const char* ProtocolWord(int protocol);
const char* PortTypeWord(int portType);

}  // namespace qxfw::store
