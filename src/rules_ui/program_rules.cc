#include "rules_ui/program_rules.h"

#include <cstring>

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

void CProgramRules::ShowRows() {
  controls::CQXListCtrl* list = List();
  list->setUpdatesEnabled(false);
  list->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rules_.size()));
  // Allow (10), Block (11), Policy (12), looked up once per refill.
  const QString actionTexts[] = {Text(10), Text(11), Text(12)};
  for (const store::tagFIREWALL_PROGRAM& rule : rules_) {
    const std::string path = PathText(rule);
    const int action = ProgramActionString(rule.action);
    auto* item = new QTreeWidgetItem(
        QStringList{QString::fromStdString(ProgramFileName(path)), QString::fromStdString(path),
                    action >= 0 ? actionTexts[action - 10] : QString()});
    item->setIcon(0, icons_->Icon(path));
    items.append(item);
  }
  list->addTopLevelItems(items);
  list->setUpdatesEnabled(true);
  icons_->Flush();
}

void CProgramRules::ResetIcons() {
  controls::CQXListCtrl* list = List();
  for (int row = 0; row < list->GetItemCount() && row < static_cast<int>(rules_.size()); ++row) {
    list->topLevelItem(row)->setIcon(0, icons_->Icon(PathText(rules_[static_cast<size_t>(row)])));
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
    if (store::SameProgramKey(rules_[i], record)) List()->SelectRow(static_cast<int>(i));
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
  List()->SelectRow(row);
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
