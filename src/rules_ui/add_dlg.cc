#include "rules_ui/add_dlg.h"

#include <QButtonGroup>
#include <QFileDialog>
#include <cstring>

#include "controls/color_static.h"
#include "controls/edit_box.h"
#include "controls/n_bitmap_button.h"
#include "controls/qx_list_ctrl.h"
#include "controls/radio_btn.h"
#include "platform/path_text.h"
#include "rules_ui/dialog_fields.h"
#include "rules_ui/policy_dlg.h"
#include "rules_ui/rule_rows.h"
#include "store/db_manager.h"

namespace qxfw::rules_ui {
namespace {

constexpr int kCaption = 196;

CAddDlg::ProcessPicker& Picker() {
  static CAddDlg::ProcessPicker picker;
  return picker;
}

}  // namespace

void CAddDlg::SetProcessPicker(ProcessPicker picker) {
  Picker() = std::move(picker);
}

CAddDlg::CAddDlg(TextSource texts, store::CDBManager& store, Mode mode,
                 const store::tagFIREWALL_PROGRAM& record, QWidget* parent)
    : CSkinDialog(std::move(texts), 390, 400, 104, parent), mode_(mode), record_(record) {
  setObjectName(QStringLiteral("CAddDlg"));
  MakeTitle(kTitle, Text(204));

  MakeLabel(kPathLabel, Text(19), QRect(20, 44, 80, 22));
  auto* path = MakeEdit(kPath, Text(19), QRect(100, 44, 270, 22));
  auto* browse = MakeButton(kBrowse, Text(22), QRect(100, 72, 96, 24));
  auto* processes = MakeButton(kProcessList, Text(23), QRect(204, 72, 120, 24));

  MakeLabel(kActionLabel, Text(20), QRect(20, 114, 80, 22));
  auto* actions = new QButtonGroup(this);
  actions->addButton(MakeRadio(kAllow, Text(10), QRect(100, 114, 80, 22)));
  actions->addButton(MakeRadio(kBlock, Text(11), QRect(180, 114, 80, 22)));
  auto* advanced = MakeRadio(kAdvanced, Text(206), QRect(260, 114, 125, 22));
  actions->addButton(advanced);

  MakeLabel(kPolicyGroup, Text(206), QRect(20, 144, 200, 22));
  list_ = new controls::CQXListCtrl(this);
  list_->setObjectName(QString::number(kPolicyList));
  list_->setAccessibleName(Text(206));
  list_->setGeometry(20, 168, 350, 148);
  for (size_t i = 0; i < std::size(kPolicyColumnTitles); ++i) {
    list_->InsertColumn(Text(kPolicyColumnTitles[i]), kPolicyColumnWidths[i]);
  }
  auto* add = MakeButton(kPolicyAdd, Text(7), QRect(20, 322, 70, 24));
  auto* remove = MakeButton(kPolicyDelete, Text(8), QRect(96, 322, 70, 24));
  auto* modify = MakeButton(kPolicyModify, Text(9), QRect(172, 322, 70, 24));
  MakeOkCancel(362, Text(24), Text(25));

  connect(browse, &QAbstractButton::clicked, this, &CAddDlg::OnBrowse);
  connect(processes, &QAbstractButton::clicked, this, &CAddDlg::OnProcessList);
  connect(add, &QAbstractButton::clicked, this, &CAddDlg::OnPolicyAdd);
  connect(remove, &QAbstractButton::clicked, this, &CAddDlg::OnPolicyDelete);
  connect(modify, &QAbstractButton::clicked, this, &CAddDlg::OnPolicyModify);
  connect(list_, &controls::CQXListCtrl::rowDoubleClicked, this, [this] { OnPolicyModify(); });
  connect(advanced, &QAbstractButton::toggled, this, &CAddDlg::ApplyStates);

  if (mode_ == Mode::kAdd) {
    SetChecked(*this, kAllow, true);
  } else {
    path->setText(QString::fromUtf8(
        record_.path, static_cast<int>(strnlen(record_.path, store::kProgramPathLimit))));
    int radio = record_.action == store::kActionAllow   ? kAllow
                : record_.action == store::kActionBlock ? kBlock
                                                        : kAdvanced;
    if (mode_ == Mode::kPolicyOnly) radio = kAdvanced;
    SetChecked(*this, radio, true);
    if (record_.action == store::kActionPolicy) {
      ready_ = store.GetPolicy(&table_, static_cast<uint32_t>(record_.policySlot)) != 0 &&
               table_.count <= store::kMaxPolicyEntries;
      if (ready_) {
        for (uint32_t i = 0; i < table_.count; ++i) {
          entries_.push_back(table_.entries[i]);
          AddPolicyRow(-1, table_.entries[i]);
        }
      } else {
        table_ = {};
      }
    }
  }
  ApplyStates();
}

int CAddDlg::exec() {
  if (!ready_) return Rejected;
  return CSkinDialog::exec();
}

void CAddDlg::ApplyStates() {
  ApplyControlStates(*this, ProgramDialogStates(Checked(*this, kAdvanced), mode_ == Mode::kModify,
                                                mode_ == Mode::kPolicyOnly));
}

void CAddDlg::AddPolicyRow(int row, const store::tagPOLICY& entry) {
  row = list_->InsertItem(row, Text(PolicyActionString(entry.action)));
  list_->SetItemText(row, 1, QString::fromStdString(PolicyEndText(entry, false)));
  list_->SetItemText(row, 2, QString::fromStdString(PolicyEndText(entry, true)));
  list_->SetItemText(row, 3, QString::fromLatin1(PolicyPortText(entry)));
}

void CAddDlg::OnBrowse() {
  QString chosen =
      QFileDialog::getOpenFileName(this, Text(22), QString(), QString(), nullptr,
                                   QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly);
  if (chosen.isEmpty()) return;
  if (!platform::IsExecutableProgram(chosen.toStdString())) {
    Message(QMessageBox::Critical, kCaption, 94);
    return;
  }
  SetFieldText(*this, kPath, chosen);
}

void CAddDlg::OnProcessList() {
  if (!Picker()) return;
  if (std::optional<std::string> path = Picker()(this)) {
    SetFieldText(*this, kPath, QString::fromStdString(*path));
  }
}

void CAddDlg::EditPolicy(std::optional<store::tagPOLICY> start,
                         const std::function<bool(const store::tagPOLICY&)>& apply) {
  while (true) {
    CPolicyDlg dialog([this](int id) { return Text(id); }, start, this);
    if (dialog.exec() != Accepted) return;
    if (apply(dialog.Entry())) return;
    Message(QMessageBox::Information, kCaption, 88);
    start = dialog.Entry();
  }
}

void CAddDlg::OnPolicyAdd() {
  EditPolicy(std::nullopt, [this](const store::tagPOLICY& entry) {
    if (!store::AddPolicyEntry(table_, entry)) return false;
    entries_.push_back(entry);
    AddPolicyRow(-1, entry);
    return true;
  });
}

void CAddDlg::OnPolicyModify() {
  const int row = list_->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(entries_.size())) return;
  const store::tagPOLICY old = entries_[static_cast<size_t>(row)];
  EditPolicy(old, [this, row, old](const store::tagPOLICY& entry) {
    if (!store::ModifyPolicyEntry(table_, old, entry)) return false;
    entries_[static_cast<size_t>(row)] = entry;
    list_->DeleteItem(row);
    AddPolicyRow(row, entry);
    list_->SelectRow(row);
    return true;
  });
}

void CAddDlg::OnPolicyDelete() {
  const int row = list_->GetSelectedRow();
  if (row < 0 || row >= static_cast<int>(entries_.size())) return;
  if (Message(QMessageBox::Question, 120, 83, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  store::DeletePolicyEntry(table_, entries_[static_cast<size_t>(row)]);
  entries_.erase(entries_.begin() + row);
  list_->DeleteItem(row);
}

void CAddDlg::OnOK() {
  ProgramFields fields;
  fields.path = FieldText(*this, kPath);
  fields.choice = Checked(*this, kAllow) ? 1 : Checked(*this, kBlock) ? 0 : 2;
  fields.policyCount = table_.count;
  store::tagFIREWALL_PROGRAM rule = record_;
  CheckResult result = CheckProgramFields(fields, &rule);
  if (!result.Accepted()) {
    Message(QMessageBox::Critical, result.caption, result.message);
    return;
  }
  record_ = rule;
  accept();
}

}  // namespace qxfw::rules_ui
