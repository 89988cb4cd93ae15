#include "rules_ui/port_rules.h"

#include <cstring>

#include "controls/qx_list_ctrl.h"
#include "rules_ui/add_port_dlg.h"
#include "store/db_manager.h"
#include "store/preferences.h"

namespace qxfw::rules_ui {
namespace {

constexpr int kCaption = 173;  // "Port List"
constexpr int kAlreadyExists = 88;
constexpr int kWriteError = 131;

}  // namespace

CPortRules::CPortRules(QWidget* host, store::CDBManager& store, TextSource texts,
                       store::CPreferences* preferences)
    : CPageList(host, std::move(texts), preferences, store::kPortListView), store_(store) {
  List()->setAccessibleName(Text(3));
  MakeColumns(kPortColumnTitles, 6, kPortDefaultWidths, kPortFirstRunWidths);
  connect(List(), &controls::CQXListCtrl::columnClicked, this, &CPortRules::OnHeaderClick);
  connect(List(), &controls::CQXListCtrl::rowDoubleClicked, this, [this] {
    if (!rules_.empty()) Modify();
  });
  connect(List(), &controls::CQXListCtrl::keyPressed, this, [this](int key) {
    if (key == Qt::Key_F5) Refresh();
    if (key == Qt::Key_Delete) Delete();
  });
  Refresh();
}

bool CPortRules::OnCommand(const QString& command) {
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

void CPortRules::Refresh() {
  ReadFromStore();
  ShowRows();
}

void CPortRules::ReadFromStore() {
  rules_.clear();
  store_.Select(store::CDBManager::kSelectRuleFile);
  store::tagFIREWALL_PORTIP rule{};
  while (store_.Select(store::CDBManager::kSelectPortIp) != 0) {
    if (store_.GetPortIp(&rule) != 0) rules_.push_back(rule);
  }
}

void CPortRules::ShowRows() {
  controls::CQXListCtrl* list = List();
  list->setUpdatesEnabled(false);
  list->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rules_.size()));
  for (const store::tagFIREWALL_PORTIP& rule : rules_) {
    auto* item = new QTreeWidgetItem();
    item->setText(0, QString::fromStdString(PortIpEndText(rule, false)));
    item->setText(1, QString::fromStdString(PortIpEndText(rule, true)));
    item->setText(2, QString::fromLatin1(PortIpProtocolText(rule.protocol)));
    item->setText(3, QString::fromUtf8(
                         rule.description,
                         static_cast<int>(strnlen(rule.description, sizeof(rule.description)))));
    const int type = PortTypeString(rule.portType);
    if (type >= 0) item->setText(4, Text(type));
    const int action = PortIpActionString(rule.action);
    if (action >= 0) item->setText(5, Text(action));
    items.append(item);
  }
  list->addTopLevelItems(items);
  list->setUpdatesEnabled(true);
}

void CPortRules::OnHeaderClick(int column) {
  sort_.Click(column);
  List()->SetSortMark(column, sort_.Ascending());
  SortPortRules(rules_, column, sort_.Ascending());
  ShowRows();
}

void CPortRules::ReportStoreFailure(const store::tagFIREWALL_PORTIP& wanted,
                                    const store::tagFIREWALL_PORTIP* old, int caption) {
  bool duplicate = false;
  for (const store::tagFIREWALL_PORTIP& rule : rules_) {
    if (store::SamePortIpKey(rule, wanted) && (old == nullptr || !store::SamePortIpKey(rule, *old)))
      duplicate = true;
  }
  if (duplicate) {
    ShowMessage(Host(), QMessageBox::Information,
                caption == 0 ? QStringLiteral("MessageBox") : Text(caption), Text(kAlreadyExists));
  } else {
    Message(QMessageBox::Critical, kCaption, kWriteError);
  }
  ReadFromStore();
  ShowRows();
}

void CPortRules::Add() {
  CAddPortDlg dialog([this](int id) { return Text(id); }, std::nullopt, Host());
  if (dialog.exec() != QDialog::Accepted) return;
  store::tagFIREWALL_PORTIP record = dialog.Record();
  if (store_.AddPortIp(record) == 0) {
    ReportStoreFailure(record, nullptr, kCaption);
    return;
  }
  rules_.push_back(record);
  ShowRows();
  List()->SelectRow(static_cast<int>(rules_.size()) - 1);
}

void CPortRules::Modify() {
  const int row = List()->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(rules_.size())) return;
  store::tagFIREWALL_PORTIP old = rules_[static_cast<size_t>(row)];
  CAddPortDlg dialog([this](int id) { return Text(id); }, old, Host());
  if (dialog.exec() != QDialog::Accepted) return;
  store::tagFIREWALL_PORTIP record = dialog.Record();
  store::tagFIREWALL_PORTIP oldCopy = old;
  if (store_.ModifyPortIp(oldCopy, record) == 0) {
    ReportStoreFailure(record, &old, 0);
    return;
  }
  rules_[static_cast<size_t>(row)] = record;
  ShowRows();
  List()->SelectRow(row);
}

void CPortRules::Delete() {
  const int row = List()->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(rules_.size())) return;
  store::tagFIREWALL_PORTIP rule = rules_[static_cast<size_t>(row)];
  if (IsProtectedPortRule(rule)) {
    Message(QMessageBox::Warning, kCaption, 89);
    return;
  }
  if (Message(QMessageBox::Question, kCaption, 83, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  if (store_.DeletePortIp(rule) == 0) {
    Message(QMessageBox::Warning, kCaption, 199);
    ReadFromStore();
    ShowRows();
    return;
  }
  rules_.erase(rules_.begin() + row);
  List()->DeleteItem(row);
}

}  // namespace qxfw::rules_ui
