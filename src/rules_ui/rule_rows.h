// Row texts and ordering of the rule views: what each column of the program, IP/port and policy
// lists shows for a record, and how a header click orders the views' arrays.
//
// Texts that come from the string table are given as string numbers, so the views pick the
// user's language; texts that are the same in every language are given as they are. The views
// keep an array whose element i is row i and rebuild their rows from it after every sort.
// Stateless and thread-safe, except the sort states, which belong to their view.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/rule_records.h"

namespace qxfw::rules_ui {

// String numbers of the column titles.
inline constexpr int kProgramColumnTitles[] = {16, 17, 20};
inline constexpr int kPortColumnTitles[] = {80, 81, 39, 44, 45, 20};
inline constexpr int kSharedColumnTitles[] = {68, 69, 20};
// The preferences' widths of these lists for a user who has not changed them.
inline constexpr int kProgramDefaultWidths[] = {140, 250, 70};
inline constexpr int kPortDefaultWidths[] = {70, 70, 50, 100, 100, 70};
inline constexpr int kSharedDefaultWidths[] = {110, 250, 100};
// What the IP/port list shows instead of its defaults: the address columns wide enough for
// their titles, all six within the list's 478 pixels.
inline constexpr int kPortFirstRunWidths[] = {101, 90, 67, 85, 85, 50};
inline constexpr int kPolicyColumnTitles[] = {20, 31, 32, 30};
inline constexpr int kPolicyColumnWidths[] = {70, 100, 100, 50};

// Program list: the file name (after the last "/", the whole path when there is none) and the
// string number of the action word (-1 for a code with no word).
std::string ProgramFileName(std::string_view path);
int ProgramActionString(int action);

// IP/port list. Columns 0 and 1: "%s:%d", "%s:*" (a rule without ports) or "*:%d" (without an
// address); a rule with neither shows "*:*".
std::string PortIpEndText(const store::tagFIREWALL_PORTIP& rule, bool end);
const char* PortIpProtocolText(int protocol);  // "TCP", "UDP", "ALL" or ""
int PortTypeString(int portType);              // 95, 96, 97, or -1 (shown blank)
int PortIpActionString(int action);            // 10 for 1, 11 for 0, -1 otherwise
// System and hacking-tool port rules are never deleted and only their action changes.
inline bool IsProtectedPortType(int portType) {
  return portType == store::kPortTypeSystem || portType == store::kPortTypeHackingTool;
}
inline bool IsProtectedPortRule(const store::tagFIREWALL_PORTIP& rule) {
  return IsProtectedPortType(rule.portType);
}

// Policy list of the add-program dialog.
std::string PolicyEndText(const store::tagPOLICY& entry, bool end);
const char* PolicyPortText(const store::tagPOLICY& entry);  // "TCP", "UDP" or "" without ports
int PolicyActionString(int action);                         // 10 for 1, else 11

// Header clicks of the program view: a new column sorts ascending, the same column again flips
// the direction. Refills and adds sort by the program name in the current direction.
class ProgramSortState {
 public:
  void Click(int column);
  int Column() const { return column_; }
  bool Ascending() const { return ascending_; }

 private:
  int column_ = 0;
  int clicked_ = -1;
  bool ascending_ = true;
};

// Header clicks of the IP/port view: every click flips the direction, which starts descending,
// so the first click sorts ascending.
class PortSortState {
 public:
  void Click(int column) {
    column_ = column;
    ascending_ = !ascending_;
  }
  int Column() const { return column_; }
  bool Ascending() const { return ascending_; }

 private:
  int column_ = -1;
  bool ascending_ = false;
};

// Orders by column 0 (file name), 1 (path), both case-insensitive, or 2 (action). Equal keys
// keep their order.
void SortPrograms(std::vector<store::tagFIREWALL_PROGRAM>& rules, int column, bool ascending);
// Orders by the key of the column: 0 and 1 the begin port, 2 the protocol, 3 the action.
// Columns 4 and 5 do not reorder (false returned). Equal keys keep their order.
bool SortPortRules(std::vector<store::tagFIREWALL_PORTIP>& rules, int column, bool ascending);

}  // namespace qxfw::rules_ui
