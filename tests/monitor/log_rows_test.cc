#include "monitor/log_rows.h"

#include <gtest/gtest.h>

#include <cstring>

#include "store/db_manager.h"
#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

platform::SYSTEMTIME At(int year, int month, int day, int hour, int minute, int second) {
  platform::SYSTEMTIME time{};
  time.wYear = static_cast<uint16_t>(year);
  time.wMonth = static_cast<uint16_t>(month);
  time.wDay = static_cast<uint16_t>(day);
  time.wHour = static_cast<uint16_t>(hour);
  time.wMinute = static_cast<uint16_t>(minute);
  time.wSecond = static_cast<uint16_t>(second);
  return time;
}

TEST(LogRowsTest, TimeAndDateTexts) {
  EXPECT_EQ(LogTimeText(At(2006, 3, 5, 12, 30, 5)), "2006/3/5 12:30:5 PM");
  EXPECT_EQ(LogTimeText(At(2006, 3, 5, 0, 10, 0)), "2006/3/5 0:10:0 AM");
  EXPECT_EQ(LogTimeText(At(2006, 3, 5, 23, 59, 59)), "2006/3/5 11:59:59 PM");
  EXPECT_EQ(LogTimeText(At(2006, 3, 5, 11, 0, 0)), "2006/3/5 11:0:0 AM");
  EXPECT_EQ(LogDateText({2006, 3, 5}), "2006.03.05");
}

TEST(LogRowsTest, RangeCorrections) {
  LogRange range({2006, 3, 5}, {2006, 3, 5});
  range.ChooseBegin({2006, 3, 9});  // after the end: the end follows
  EXPECT_EQ(range.End(), (LogDate{2006, 3, 9}));
  EXPECT_TRUE(range.Contains(At(2006, 3, 9, 23, 0, 0)));
  EXPECT_FALSE(range.Contains(At(2006, 3, 8, 23, 0, 0)));
  EXPECT_FALSE(range.Contains(At(2006, 3, 10, 0, 0, 0)));
  range.ChooseEnd({2006, 2, 1});  // before the begin: becomes the begin
  EXPECT_EQ(range.End(), (LogDate{2006, 3, 9}));
  range.ChooseEnd({2006, 12, 31});
  EXPECT_TRUE(range.Contains(At(2006, 11, 30, 0, 0, 0)));
  EXPECT_FALSE(range.Contains(At(2007, 1, 1, 0, 0, 0)));

  LogRange empty;
  empty.ChooseEnd({2007, 1, 2});  // no begin yet: takes the end
  EXPECT_EQ(empty.Begin(), (LogDate{2007, 1, 2}));
  LogRange open;
  open.ChooseBegin({2007, 1, 2});  // no end yet: stays unset
  EXPECT_FALSE(open.End().IsSet());
}

TEST(LogRowsTest, ProgramAndPortRowTexts) {
  LogWords words;
  store::tagFIREWALL_PROGRAM program{};
  program.action = 1;
  std::strcpy(program.path, "/usr/bin/curl");
  EXPECT_EQ(ProgramLogRow(At(2006, 3, 5, 12, 30, 5), 2, program, words),
            (LogRow{"2006/3/5 12:30:5 PM", "curl", "", "", "Allow", "Add"}));
  program.action = 7;  // unknown action: no action, no status
  EXPECT_EQ(ProgramLogRow(At(2006, 3, 5, 1, 2, 3), 3, program, words)[4], "");
  EXPECT_EQ(ProgramLogRow(At(2006, 3, 5, 1, 2, 3), 3, program, words)[5], "");

  store::tagFIREWALL_PORTIP rule{};
  rule.action = 0;
  rule.endIp = 0x0A000001;
  rule.beginPort = 0;
  rule.endPort = 80;
  LogRow row = PortLogRow(At(2006, 3, 5, 13, 0, 0), 4, rule, words);
  EXPECT_EQ(row, (LogRow{"2006/3/5 1:0:0 PM", " *******", "* :0", "* :80", "Block", "Modify"}));
  rule.beginIp = 0xC0A80001;
  rule.endIp = 0xC0A800FF;
  rule.beginPort = 20;
  rule.endPort = 21;
  row = PortLogRow(At(2006, 3, 5, 13, 0, 0), 9, rule, words);
  EXPECT_EQ(row[2], "192.168.0.1 :20");
  EXPECT_EQ(row[3], "192.168.0.255 :21");
  EXPECT_EQ(row[5], "");
  rule.beginPort = 0;
  row = PortLogRow(At(2006, 3, 5, 13, 0, 0), 2, rule, words);
  EXPECT_EQ(row[2], "192.168.0.1 :*");
  EXPECT_EQ(row[3], "192.168.0.255 :*");
}

TEST(LogRowsTest, JournalRowsOfTheRangeProgramsFirst) {
  test_support::TempDir dir;
  store::CDBManager store(dir.path());
  ASSERT_TRUE(store.IsJournalOpen());
  store::tagFIREWALL_PORTIP rule{};
  rule.action = 1;
  rule.beginPort = 8080;
  rule.endPort = 8080;
  rule.protocol = 1;
  rule.portType = 1;
  ASSERT_NE(store.AddPortIp(rule), 0);
  store::tagFIREWALL_PROGRAM program{};
  program.action = 0;
  std::strcpy(program.path, "/usr/bin/wget");
  ASSERT_NE(store.AddProgram(program, nullptr), 0);
  ASSERT_NE(store.DeleteProgram(program), 0);

  platform::SYSTEMTIME now = platform::GetLocalTime();
  LogDate today{now.wYear, now.wMonth, now.wDay};
  LogWords words;
  std::vector<LogRow> rows = ReadLogRows(store, LogRange(today, today), words);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][1], "wget");
  EXPECT_EQ(rows[0][5], "Add");
  EXPECT_EQ(rows[1][5], "Delete");
  EXPECT_EQ(rows[2][1], " *******");
  EXPECT_EQ(rows[2][2], "* :8080");

  LogDate past{today.year - 1, today.month, today.day};
  EXPECT_TRUE(ReadLogRows(store, LogRange(past, past), words).empty());
  // The store is back out of journal reading: the rules walk as before.
  store.Select(store::CDBManager::kSelectRuleFile);
  EXPECT_EQ(store.Select(store::CDBManager::kSelectPortIp), 1);
}

}  // namespace
}  // namespace qxfw::monitor
