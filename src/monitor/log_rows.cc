#include "monitor/log_rows.h"

#include <cstdio>
#include <cstring>

#include "store/db_manager.h"

namespace qxfw::monitor {
namespace {

// Journal operations.
constexpr uint32_t kOpAdd = 2;
constexpr uint32_t kOpDelete = 3;
constexpr uint32_t kOpModify = 4;

std::string Format(const char* format, auto... args) {
  char text[96];
  std::snprintf(text, sizeof(text), format, args...);
  return text;
}

std::string Dotted(uint32_t address) {
  return Format("%d.%d.%d.%d", static_cast<int>(address >> 24),
                static_cast<int>(address >> 16 & 0xFF), static_cast<int>(address >> 8 & 0xFF),
                static_cast<int>(address & 0xFF));
}

void FillCommon(LogRow& row, const platform::SYSTEMTIME& time, int action, uint32_t operation,
                const LogWords& words) {
  row[0] = LogTimeText(time);
  switch (action) {
    case 0:
      row[4] = words.block;
      break;
    case 1:
      row[4] = words.allow;
      break;
    case 2:
      row[4] = words.policy;
      break;
    default:
      return;  // an unknown action leaves both columns empty
  }
  row[5] = operation == kOpAdd      ? words.add
           : operation == kOpDelete ? words.remove
           : operation == kOpModify ? words.modify
                                    : std::string();
}

}  // namespace

std::string LogDateText(const LogDate& date) {
  return Format("%04d.%02d.%02d", date.year, date.month, date.day);
}

std::string LogTimeText(const platform::SYSTEMTIME& time) {
  int hour = time.wHour;
  return Format("%d/%d/%d %d:%d:%d %s", time.wYear, time.wMonth, time.wDay,
                hour > 12 ? hour - 12 : hour, time.wMinute, time.wSecond, hour < 12 ? "AM" : "PM");
}

void LogRange::ChooseBegin(const LogDate& date) {
  begin_ = date;
  if (end_.IsSet() && end_ < begin_) end_ = begin_;
}

void LogRange::ChooseEnd(const LogDate& date) {
  end_ = date;
  if (!begin_.IsSet()) begin_ = end_;
  if (end_ < begin_) end_ = begin_;
}

bool LogRange::Contains(const platform::SYSTEMTIME& time) const {
  LogDate date{time.wYear, time.wMonth, time.wDay};
  return !(date < begin_) && !(end_ < date);
}

LogRow ProgramLogRow(const platform::SYSTEMTIME& time, uint32_t operation,
                     const store::tagFIREWALL_PROGRAM& program, const LogWords& words) {
  LogRow row;
  FillCommon(row, time, program.action, operation, words);
  std::string path(program.path, strnlen(program.path, sizeof(program.path)));
  size_t slash = path.find_last_of('/');
  row[1] = slash == std::string::npos ? path : path.substr(slash + 1);
  return row;
}

LogRow PortLogRow(const platform::SYSTEMTIME& time, uint32_t operation,
                  const store::tagFIREWALL_PORTIP& rule, const LogWords& words) {
  LogRow row;
  FillCommon(row, time, rule.action, operation, words);
  row[1] = " *******";
  if (rule.beginIp == 0) {
    row[2] = Format("* :%d", rule.beginPort);
    row[3] = Format("* :%d", rule.endPort);
  } else if (rule.beginPort != 0) {
    row[2] = Dotted(rule.beginIp) + Format(" :%d", rule.beginPort);
    row[3] = Dotted(rule.endIp) + Format(" :%d", rule.endPort);
  } else {
    row[2] = Dotted(rule.beginIp) + " :*";
    row[3] = Dotted(rule.endIp) + " :*";
  }
  return row;
}

std::vector<LogRow> ReadLogRows(store::CDBManager& store, const LogRange& range,
                                const LogWords& words) {
  std::vector<LogRow> rows;
  store.Select(store::CDBManager::kSelectJournal);
  store::tagFIREWALL_PROGRAM program{};
  while (store.Select(store::CDBManager::kSelectProgram) != 0) {
    if (!range.Contains(store.GetJournalTime()) || store.GetProgram(&program) == 0) continue;
    rows.push_back(ProgramLogRow(store.GetJournalTime(), store.GetJournalOp(), program, words));
  }
  store.Select(store::CDBManager::kSelectJournal);
  store::tagFIREWALL_PORTIP rule{};
  while (store.Select(store::CDBManager::kSelectPortIp) != 0) {
    if (!range.Contains(store.GetJournalTime()) || store.GetPortIp(&rule) == 0) continue;
    rows.push_back(PortLogRow(store.GetJournalTime(), store.GetJournalOp(), rule, words));
  }
  store.Select(store::CDBManager::kSelectRuleFile);
  return rows;
}

}  // namespace qxfw::monitor
