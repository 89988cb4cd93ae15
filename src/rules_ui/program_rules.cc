#include "rules_ui/program_rules.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "controls/qx_list_ctrl.h"
#include "platform/debug_output.h"
#include "platform/text_compare.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/icon_cache.h"
#include "store/db_manager.h"
#include "store/preferences.h"

namespace qxfw::rules_ui {
namespace {

constexpr int kCaption = 200;  // "Program list"
constexpr int kAlreadyExists = 88;
constexpr int kWriteError = 131;
constexpr int kDeleteError = 199;

size_t g_syncRows = 2000;

std::string PathText(const store::tagFIREWALL_PROGRAM& rule) {
  return std::string(rule.path, strnlen(rule.path, sizeof(rule.path)));
}

}  // namespace

CProgramRules::CProgramRules(QWidget* host, store::CDBManager& store, TextSource texts,
                             store::CPreferences* preferences)
    : CPageList(host, std::move(texts), preferences, store::kProgramListView),
      store_(store),
      icons_(new CProgramIconCache(this)) {
  List()->setAccessibleName(Text(2));
  MakeColumns(kProgramColumnTitles, 3);
  connect(List(), &controls::CQXListCtrl::columnClicked, this, &CProgramRules::OnHeaderClick);
  connect(List(), &controls::CQXListCtrl::rowDoubleClicked, this, [this](int row) {
    if (info_opener_ && row >= 0 && row < static_cast<int>(rules_.size()))
      info_opener_(Host(), PathText(rules_[static_cast<size_t>(row)]));
  });
  connect(List(), &controls::CQXListCtrl::keyPressed, this, [this](int key) {
    if (key == Qt::Key_F5) Refresh();
    if (key == Qt::Key_Delete) Delete();
  });
  connect(icons_, &CProgramIconCache::IconsReady, this, &CProgramRules::ResetIcons);
  Refresh();
}

bool CProgramRules::OnCommand(const QString& command) {
  if (command.compare(QLatin1String("cmdAdd"), Qt::CaseInsensitive) == 0) {
    Add();
  } else if (command.compare(QLatin1String("cmdModify"), Qt::CaseInsensitive) == 0) {
    Modify();
  } else if (command.compare(QLatin1String("cmdDelete"), Qt::CaseInsensitive) == 0) {
    Delete();
  } else {
    return false;
  }
  return true;
}

void CProgramRules::Refresh() {
  ReadFromStore();
  sort_ = ProgramSortState();
  SortAndShow();
}

void CProgramRules::ReadFromStore() {
  rules_.clear();
  store_.Select(store::CDBManager::kSelectRuleFile);
  store::tagFIREWALL_PROGRAM rule{};
  while (store_.Select(store::CDBManager::kSelectProgram) != 0) {
    if (store_.GetProgram(&rule) != 0) rules_.push_back(rule);
  }
}

void CProgramRules::SortAndShow() {
  SortPrograms(rules_, sort_.Column(), sort_.Ascending());
  ShowRows();
  List()->SetSortMark(sort_.Column(), sort_.Ascending());
}

QList<QTreeWidgetItem*> CProgramRules::BuildRows(
    const std::vector<store::tagFIREWALL_PROGRAM>& rules, const QString (&actionTexts)[3]) {
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rules.size()));
  for (const store::tagFIREWALL_PROGRAM& rule : rules) {
    const std::string path = PathText(rule);
    const int action = ProgramActionString(rule.action);
    items.append(new QTreeWidgetItem(
        QStringList{QString::fromStdString(ProgramFileName(path)), QString::fromStdString(path),
                    action >= 0 ? actionTexts[action - 10] : QString()}));
  }
  return items;
}

void CProgramRules::ShowRows() {
  ++generation_;
  select_when_shown_ = -1;
  List()->clear();
  // Allow (10), Block (11), Policy (12), looked up once per refill.
  const QString actionTexts[] = {Text(10), Text(11), Text(12)};
  if (rules_.size() <= g_syncRows) {
    pending_ = false;
    TakeRows(BuildRows(rules_, actionTexts));
    return;
  }
  // A long list: its rows are built on a worker from a copy of the array and taken by a queued
  // call, unless the array has changed again meanwhile. Until then the list has no rows, so no
  // command can act on a row that is not the array's.
  pending_ = true;
  struct Built {
    QList<QTreeWidgetItem*> items;
    ~Built() { qDeleteAll(items); }  // rows nobody took
  };
  QPointer<CProgramRules> self(this);
  QThreadPool::globalInstance()->start(
      [self, generation = generation_, rules = rules_,
       texts = std::array<QString, 3>{actionTexts[0], actionTexts[1], actionTexts[2]}] {
        const QString actionTexts[] = {texts[0], texts[1], texts[2]};
        auto built = std::make_shared<Built>();
        built->items = BuildRows(rules, actionTexts);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, built] {
              if (!self || generation != self->generation_) return;
              self->pending_ = false;
              self->TakeRows(std::exchange(built->items, {}));
            },
            Qt::QueuedConnection);
      });
}

void CProgramRules::TakeRows(QList<QTreeWidgetItem*> items) {
  controls::CQXListCtrl* list = List();
  if (static_cast<size_t>(items.size()) != rules_.size()) {
    // Cannot happen while every change of the array rebuilds the rows; never show others.
    qDeleteAll(items);
    return;
  }
  for (qsizetype i = 0; i < items.size(); ++i) {
    items[i]->setIcon(0, icons_->Icon(PathText(rules_[static_cast<size_t>(i)])));
  }
  list->addTopLevelItems(items);
  icons_->Flush();
  if (select_when_shown_ >= 0 && select_when_shown_ < list->GetItemCount()) {
    list->SelectRow(select_when_shown_);
  }
  select_when_shown_ = -1;
  emit RowsShown();
}

void CProgramRules::SetSyncRows(size_t rows) {
  g_syncRows = rows;
}

bool CProgramRules::RowsPending() const {
  return pending_;
}

void CProgramRules::SelectWhenShown(int row) {
  if (row < List()->GetItemCount()) {
    List()->SelectRow(row);
  } else {
    select_when_shown_ = row;
  }
}

void CProgramRules::ResetIcons() {
  // Only the rows whose program got its own icon, so a batch costs no pass of item changes
  // over the whole list.
  const std::unordered_set<std::string>& changed = icons_->LastChanged();
  controls::CQXListCtrl* list = List();
  const int shown = std::min(list->GetItemCount(), static_cast<int>(rules_.size()));
  for (int row = 0; row < shown; ++row) {
    const std::string path = PathText(rules_[static_cast<size_t>(row)]);
    if (changed.count(path) != 0) list->topLevelItem(row)->setIcon(0, icons_->Icon(path));
  }
}

void CProgramRules::OnHeaderClick(int column) {
  sort_.Click(column);
  SortAndShow();
}

void CProgramRules::ReportStoreFailure(const store::tagFIREWALL_PROGRAM& wanted,
                                       const char* oldPath) {
  bool duplicate = false;
  for (const store::tagFIREWALL_PROGRAM& rule : rules_) {
    if (store::SameProgramKey(rule, wanted) &&
        (oldPath == nullptr ||
         platform::CompareBufferNoCase(rule.path, oldPath, sizeof(rule.path)) != 0)) {
      duplicate = true;
    }
  }
  Message(duplicate ? QMessageBox::Information : QMessageBox::Critical, kCaption,
          duplicate ? kAlreadyExists : kWriteError);
  ReadFromStore();
  SortAndShow();
}

void CProgramRules::Add() {
  CAddDlg dialog([this](int id) { return Text(id); }, store_, CAddDlg::Mode::kAdd, {}, Host());
  if (dialog.exec() != QDialog::Accepted) return;
  store::tagFIREWALL_PROGRAM record = dialog.Record();
  platform::DebugOutput("ProgramView::AddData");
  platform::DebugOutput("Program=%s", record.path);
  store::tagPOLICY_TABLE table = dialog.PolicyTable();
  const bool withTable = record.action == store::kActionPolicy;
  if (store_.AddProgram(record, withTable ? &table : nullptr) == 0) {
    ReportStoreFailure(record, nullptr);
    return;
  }
  rules_.push_back(record);
  sort_ = ProgramSortState();
  SortAndShow();
  for (size_t i = 0; i < rules_.size(); ++i) {
    if (store::SameProgramKey(rules_[i], record)) SelectWhenShown(static_cast<int>(i));
  }
}

void CProgramRules::Modify() {
  const int row = List()->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(rules_.size())) return;
  store::tagFIREWALL_PROGRAM old = rules_[static_cast<size_t>(row)];
  CAddDlg dialog([this](int id) { return Text(id); }, store_, CAddDlg::Mode::kModify, old, Host());
  if (dialog.exec() != QDialog::Accepted) return;
  store::tagFIREWALL_PROGRAM record = dialog.Record();
  platform::DebugOutput("ProgramView::ModifyData");
  platform::DebugOutput("OldProgram=%s", old.path);
  store::tagPOLICY_TABLE table = dialog.PolicyTable();
  const bool withTable = record.action == store::kActionPolicy;
  if (store_.ModifyProgram(old, record, withTable ? &table : nullptr) == 0) {
    ReportStoreFailure(record, old.path);
    return;
  }
  // The stored record (with the policy slot the store gave it) takes the old one's place.
  std::vector<store::tagFIREWALL_PROGRAM> stored;
  std::swap(stored, rules_);
  ReadFromStore();
  for (const store::tagFIREWALL_PROGRAM& rule : rules_) {
    if (store::SameProgramKey(rule, record)) record = rule;
  }
  std::swap(stored, rules_);
  for (store::tagFIREWALL_PROGRAM& rule : rules_) {
    if (std::memcmp(&rule, &old, sizeof(rule)) == 0) {
      rule = record;
      break;
    }
  }
  ShowRows();
  SelectWhenShown(row);
}

void CProgramRules::Delete() {
  const int row = List()->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(rules_.size())) return;
  if (Message(QMessageBox::Question, kCaption, 83, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  store::tagFIREWALL_PROGRAM rule = rules_[static_cast<size_t>(row)];
  platform::DebugOutput("ProgramView::DeleteProgram");
  platform::DebugOutput("Program=%s", rule.path);
  if (store_.DeleteProgram(rule) == 0) {
    Message(QMessageBox::Warning, kCaption, kDeleteError);
    ReadFromStore();
    SortAndShow();
    return;
  }
  rules_.erase(rules_.begin() + row);
  List()->DeleteItem(row);
}

}  // namespace qxfw::rules_ui
