// The rule-change journal as the log page lists it, without widgets: the texts of each row, the
// date range with its correction rules, and the walk of the journal that yields the rows of a
// range (program entries first, then IP/port entries, each in journal order).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_time.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::monitor {

inline constexpr int kLogColumnCount = 6;
using LogRow = std::array<std::string, kLogColumnCount>;

struct LogDate {
  int year = 0;  // 0: not set
  int month = 0;
  int day = 0;
  bool IsSet() const { return year != 0; }
  auto operator<=>(const LogDate& other) const = default;
};

// "%04d.%02d.%02d".
std::string LogDateText(const LogDate& date);
// "%d/%d/%d %d:%d:%d %s" on a 12-hour clock where midnight is 0 AM and noon 12 PM.
std::string LogTimeText(const platform::SYSTEMTIME& time);

// The range of the page: both ends included, changed only through the calendar.
class LogRange {
 public:
  LogRange() = default;
  LogRange(LogDate begin, LogDate end) : begin_(begin), end_(end) {}
  // A new begin date; an end before it moves to it.
  void ChooseBegin(const LogDate& date);
  // A new end date; without a begin the begin takes it, and an end before the begin becomes
  // the begin.
  void ChooseEnd(const LogDate& date);
  bool Contains(const platform::SYSTEMTIME& time) const;
  const LogDate& Begin() const { return begin_; }
  const LogDate& End() const { return end_; }

 private:
  LogDate begin_;
  LogDate end_;
};

// Texts of the words the rows use, by the string-table ids of the current language.
struct LogWords {
  std::string add = "Add", remove = "Delete", modify = "Modify";
  std::string block = "Block", allow = "Allow", policy = "Policy";
};

LogRow ProgramLogRow(const platform::SYSTEMTIME& time, uint32_t operation,
                     const store::tagFIREWALL_PROGRAM& program, const LogWords& words);
LogRow PortLogRow(const platform::SYSTEMTIME& time, uint32_t operation,
                  const store::tagFIREWALL_PORTIP& rule, const LogWords& words);

// The rows of the journal inside range. Leaves the store out of journal reading.
std::vector<LogRow> ReadLogRows(store::CDBManager& store, const LogRange& range,
                                const LogWords& words);

}  // namespace qxfw::monitor
