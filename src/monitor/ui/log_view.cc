#include "monitor/ui/log_view.h"

#include <sys/stat.h>

#include <QCalendarWidget>
#include <QLineEdit>
#include <QToolButton>
#include <QTreeWidgetItem>
#include <QVBoxLayout>

#include "controls/qx_list_ctrl.h"
#include "store/db_manager.h"
#include "store/preferences.h"

namespace qxfw::monitor {
namespace {

// Time, Program Name, Begin IP & Port, End IP & Port, Action, Status.
constexpr int kColumnTitles[kLogColumnCount] = {98, 16, 80, 81, 20, 40};
// No width of the preferences' own counts as untouched; first shown, a column is 120 wide or
// as wide as its title.
constexpr int kKeptWidths[kLogColumnCount] = {};
constexpr int kFirstWidths[kLogColumnCount] = {120, 120, 120, 120, 120, 120};

}  // namespace

CCalendarDialog::CCalendarDialog(const QDate& shown, QWidget* parent)
    : QDialog(parent), calendar_(new QCalendarWidget(this)) {
  setObjectName(QStringLiteral("CCalendarDialog"));
  calendar_->setObjectName(QString::number(kCalendar));
  calendar_->setSelectedDate(shown);
  calendar_->setGridVisible(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(calendar_);
  // A day is chosen by a click or Enter; paging through months only moves the selection.
  auto choose = [this](const QDate& date) {
    chosen_ = date;
    done(1);
  };
  connect(calendar_, &QCalendarWidget::clicked, this, choose);
  connect(calendar_, &QCalendarWidget::activated, this, choose);
}

CLogList::CLogList(QWidget* host, rules_ui::TextSource texts, store::CPreferences* preferences,
                   store::CDBManager& store, bool)
    : CPageList(host, std::move(texts), preferences, store::kLogListView1),
      store_(store),
      begin_(new QLineEdit(host)),
      end_(new QLineEdit(host)),
      beginButton_(new QToolButton(host)),
      endButton_(new QToolButton(host)) {
  words_.add = Text(7).toStdString();
  words_.remove = Text(8).toStdString();
  words_.modify = Text(9).toStdString();
  words_.allow = Text(10).toStdString();
  words_.block = Text(11).toStdString();
  words_.policy = Text(12).toStdString();
  begin_->setObjectName(QString::number(kBeginField));
  end_->setObjectName(QString::number(kEndField));
  beginButton_->setObjectName(QString::number(kBeginButton));
  endButton_->setObjectName(QString::number(kEndButton));
  for (QLineEdit* field : {begin_, end_}) field->setReadOnly(true);
  for (QToolButton* button : {beginButton_, endButton_}) {
    button->setText(QStringLiteral("\u25BE"));
    button->setCursor(Qt::PointingHandCursor);
  }
  begin_->setGeometry(15, 143, 90, 22);
  beginButton_->setGeometry(106, 143, 22, 22);
  end_->setGeometry(140, 143, 90, 22);
  endButton_->setGeometry(231, 143, 22, 22);
  MakeColumns(kColumnTitles, kLogColumnCount, kKeptWidths, kFirstWidths);
  List()->setGeometry(15, 170, 480, 200);

  picker_ = [](QWidget* field, const QDate& shown) -> std::optional<QDate> {
    CCalendarDialog dialog(shown, field);
    dialog.move(field->mapToGlobal(QPoint(0, field->height())));
    if (dialog.exec() != 1) return std::nullopt;
    return dialog.Chosen();
  };
  connect(beginButton_, &QToolButton::clicked, this, [this] { ChooseBegin(); });
  connect(endButton_, &QToolButton::clicked, this, [this] { ChooseEnd(); });

  QDate today = QDate::currentDate();
  range_ = LogRange(FromQDate(today), FromQDate(today));
  const std::string& rules = store_.RuleFilePath();
  size_t slash = rules.find_last_of('/');
  if (slash != std::string::npos) journalPath_ = rules.substr(0, slash + 1) + "QLFW.log";
  ShowDates();
  Fill();
  connect(&journalTimer_, &QTimer::timeout, this, [this] { CheckJournal(); });
  journalTimer_.start(2000);
}

bool CLogList::OnCommand(const QString&) {
  return false;
}

void CLogList::Refresh() {
  Fill();
}

QDate CLogList::ToQDate(const LogDate& date) {
  return QDate(date.year, date.month, date.day);
}

LogDate CLogList::FromQDate(const QDate& date) {
  return {date.year(), date.month(), date.day()};
}

void CLogList::ShowDates() {
  begin_->setText(QString::fromStdString(LogDateText(range_.Begin())));
  end_->setText(QString::fromStdString(LogDateText(range_.End())));
}

void CLogList::ChooseBegin() {
  std::optional<QDate> date = picker_(begin_, ToQDate(range_.Begin()));
  if (!date || !date->isValid()) return;
  range_.ChooseBegin(FromQDate(*date));
  ShowDates();
  Fill();
}

void CLogList::ChooseEnd() {
  std::optional<QDate> date = picker_(end_, ToQDate(range_.End()));
  if (!date || !date->isValid()) return;
  range_.ChooseEnd(FromQDate(*date));
  ShowDates();
  Fill();
}

void CLogList::CheckJournal() {
  if (journalPath_.empty()) return;
  struct stat status {};
  std::optional<std::pair<int64_t, int64_t>> stamp;
  if (::stat(journalPath_.c_str(), &status) == 0) {
    stamp = std::pair<int64_t, int64_t>(
        status.st_size,
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec);
  }
  if (stamp == journalStamp_) return;
  Fill();
}

void CLogList::Fill() {
  if (!journalPath_.empty()) {
    struct stat status {};
    if (::stat(journalPath_.c_str(), &status) == 0) {
      journalStamp_ = std::pair<int64_t, int64_t>(
          status.st_size,
          static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec);
    }
  }
  std::vector<LogRow> rows = ReadLogRows(store_, range_, words_);
  controls::CQXListCtrl* list = List();
  list->setUpdatesEnabled(false);
  list->DeleteAllItems();
  list->ClearRowColors();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows.size()));
  for (const LogRow& row : rows) {
    auto* item = new QTreeWidgetItem;
    for (int c = 0; c < kLogColumnCount; ++c) item->setText(c, QString::fromStdString(row[c]));
    items.append(item);
  }
  list->addTopLevelItems(items);
  list->setUpdatesEnabled(true);
  ++fills_;
}

}  // namespace qxfw::monitor
