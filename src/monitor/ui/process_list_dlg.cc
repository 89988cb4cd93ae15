#include "monitor/ui/process_list_dlg.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPointer>
#include <QThreadPool>
#include <algorithm>

#include "controls/qx_list_ctrl.h"
#include "monitor/process_list.h"
#include "monitor/version_info.h"
#include "rules_ui/icon_cache.h"

namespace qxfw::monitor {
namespace {

constexpr int kCaption = 172;        // "Process List"
constexpr int kNoSelection = 82;     // "Please select any one process to continue"
constexpr int kUntrustedPath = 197;  // "Can not support show the process property"

QString OrNa(const std::string& text) {
  return text.empty() ? QStringLiteral("n/a") : QString::fromStdString(text);
}

}  // namespace

CProcessListDlg::CProcessListDlg(rules_ui::TextSource texts, QWidget* parent)
    : CSkinDialog(std::move(texts), 420, 330, 0, parent),
      icons_(new rules_ui::CProgramIconCache(this)) {
  setObjectName(QStringLiteral("CProcessListDlg"));
  MakeTitle(kTitle, Text(172));
  list_ = new controls::CQXListCtrl(this);
  list_->setObjectName(QString::number(kList));
  list_->setAccessibleName(Text(172));
  list_->setGeometry(12, 42, 396, 240);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  // The description column shows its whole title; the path takes the room that is left.
  const QFontMetrics metrics(list_->header()->font());
  list_->InsertColumn(Text(26), 100);
  list_->InsertColumn(Text(27), 45);
  list_->InsertColumn(Text(28), std::max(100, metrics.horizontalAdvance(Text(28)) + 12));
  list_->InsertColumn(Text(17), 120);
  list_->header()->setStretchLastSection(true);
  MakeOkCancel(292, Text(24), Text(25));
  connect(list_, &controls::CQXListCtrl::rowDoubleClicked, this, [this] { OnOK(); });
  connect(icons_, &rules_ui::CProgramIconCache::IconsReady, this, [this] {
    for (int row = 0; row < list_->GetItemCount() && row < static_cast<int>(rows_.size()); ++row)
      list_->SetItemIcon(row, 0, icons_->Icon(rows_[static_cast<size_t>(row)].path));
  });

  QPointer<CProcessListDlg> self(this);
  QThreadPool::globalInstance()->start([self] {
    std::vector<Row> rows = ReadProcesses();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, rows = std::move(rows)]() mutable {
          if (self) self->Show(std::move(rows));
        },
        Qt::QueuedConnection);
  });
}

std::vector<CProcessListDlg::Row> CProcessListDlg::ReadProcesses() {
  std::vector<Row> rows;
  CProcessList processes;
  while (processes.MoveNext()) {
    Row row;
    row.processId = processes.GetProcessId();
    row.name = processes.GetProcessName();
    row.path = processes.PathOf(row.processId);
    if (!row.path.empty()) {
      row.description = CFileVersionInfo(row.path).Get(CFileVersionInfo::kFileDescription);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

void CProcessListDlg::Show(std::vector<Row> rows) {
  rows_ = std::move(rows);
  list_->setUpdatesEnabled(false);
  for (const Row& row : rows_) {
    int index = list_->InsertItem(
        -1, OrNa(row.name),
        row.path.empty() ? rules_ui::CProgramIconCache::GenericIcon() : icons_->Icon(row.path));
    list_->SetItemText(index, 1, QString::number(row.processId));
    list_->SetItemText(index, 2, OrNa(row.description));
    list_->SetItemText(index, 3, OrNa(row.path));
  }
  list_->setUpdatesEnabled(true);
  icons_->Flush();
  filled_ = true;
  emit RowsShown();
}

void CProcessListDlg::OnOK() {
  const int row = list_->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(rows_.size())) {
    Message(QMessageBox::Warning, kCaption, kNoSelection);
    return;
  }
  const Row& picked = rows_[static_cast<size_t>(row)];
  if (picked.path.empty()) {
    // Without a trusted path a rule would name no program (or every unknown one).
    Message(QMessageBox::Warning, kCaption, kUntrustedPath);
    return;
  }
  chosen_ = picked;
  accept();
}

rules_ui::CAddDlg::ProcessPicker MakeProcessPicker(rules_ui::TextSource texts) {
  return [texts](QWidget* parent) -> std::optional<std::string> {
    CProcessListDlg dialog(texts, parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.ChosenPath();
  };
}

}  // namespace qxfw::monitor
