// CLogList: the log page's controls over its page: the begin and end date fields (20, 25; shown
// as "%04d.%02d.%02d", typed text has no effect), the calendar buttons (259, 260) and the list
// of rule-journal entries in the range (program entries first, then IP/port entries). Both
// dates start as today. The list is refilled whenever the range changes, the page is brought
// up to date, or the journal file changes (checked every 2 s), so an entry added by a prompt
// answer, a rule view or the command-line tool shows without reopening the page.
// User-interface thread only.
#pragma once

#include <QDate>
#include <QDialog>
#include <QTimer>
#include <ctime>
#include <optional>

#include "monitor/log_rows.h"
#include "rules_ui/page_list.h"

class QLineEdit;
class QToolButton;
class QCalendarWidget;

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::monitor {

// The month calendar: a click (or Enter) on a day ends it with result 1 and that date.
class CCalendarDialog : public QDialog {
  Q_OBJECT
 public:
  enum : int { kCalendar = 5 };
  CCalendarDialog(const QDate& shown, QWidget* parent);
  QCalendarWidget* Calendar() const { return calendar_; }
  const QDate& Chosen() const { return chosen_; }

 private:
  QCalendarWidget* calendar_;
  QDate chosen_;
};

class CLogList : public rules_ui::CPageList {
  Q_OBJECT
 public:
  enum : int { kBeginField = 20, kEndField = 25, kBeginButton = 259, kEndButton = 260 };
  // Picks a date for a field; none when the user cancels. Tests replace the calendar.
  using DatePicker = std::function<std::optional<QDate>(QWidget* field, const QDate& shown)>;

  CLogList(QWidget* host, rules_ui::TextSource texts, store::CPreferences* preferences,
           store::CDBManager& store, bool korean);

  bool OnCommand(const QString& command) override;
  void Refresh() override;

  void SetDatePicker(DatePicker picker) { picker_ = std::move(picker); }
  void ChooseBegin();
  void ChooseEnd();
  const LogRange& Range() const { return range_; }
  QLineEdit* BeginField() const { return begin_; }
  QLineEdit* EndField() const { return end_; }
  int Fills() const { return fills_; }

 private:
  void Fill();
  void ShowDates();
  void CheckJournal();
  static QDate ToQDate(const LogDate& date);
  static LogDate FromQDate(const QDate& date);

  store::CDBManager& store_;
  LogRange range_;
  LogWords words_;
  QLineEdit* begin_;
  QLineEdit* end_;
  QToolButton* beginButton_;
  QToolButton* endButton_;
  DatePicker picker_;
  QTimer journalTimer_;
  std::string journalPath_;
  std::optional<std::pair<int64_t, int64_t>> journalStamp_;  // size, change time in ns
  int fills_ = 0;
};

}  // namespace qxfw::monitor
