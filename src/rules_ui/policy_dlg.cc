#include "rules_ui/policy_dlg.h"

#include <QButtonGroup>

#include "controls/chk_box.h"
#include "controls/edit_box.h"
#include "controls/radio_btn.h"
#include "platform/address_text.h"
#include "rules_ui/dialog_fields.h"

namespace qxfw::rules_ui {
namespace {
constexpr int kLabelX = 40;
constexpr int kFieldX = 135;
}  // namespace

CPolicyDlg::CPolicyDlg(TextSource texts, std::optional<store::tagPOLICY> entry, QWidget* parent)
    : CSkinDialog(std::move(texts), 360, 300, 228, parent) {
  setObjectName(QStringLiteral("CPolicyDlg"));
  MakeTitle(kTitle, Text(12));

  auto* ipCheck = MakeCheck(kIpCheck, Text(29), QRect(20, 40, 200, 22));
  MakeLabel(kBeginIpLabel, Text(31), QRect(kLabelX, 64, 90, 22));
  MakeAddressEdit(MakeEdit(kBeginIp, Text(31), QRect(kFieldX, 64, 150, 22)));
  MakeLabel(kEndIpLabel, Text(32), QRect(kLabelX, 90, 90, 22));
  MakeAddressEdit(MakeEdit(kEndIp, Text(32), QRect(kFieldX, 90, 150, 22)));

  auto* portCheck = MakeCheck(kPortCheck, Text(30), QRect(20, 120, 200, 22));
  MakeLabel(kBeginPortLabel, Text(33), QRect(kLabelX, 144, 90, 22));
  MakePortEdit(MakeEdit(kBeginPort, Text(33), QRect(kFieldX, 144, 80, 22)));
  MakeLabel(kEndPortLabel, Text(34), QRect(kLabelX, 170, 90, 22));
  MakePortEdit(MakeEdit(kEndPort, Text(34), QRect(kFieldX, 170, 80, 22)));
  auto* protocols = new QButtonGroup(this);
  protocols->addButton(MakeRadio(kTcp, Text(13), QRect(kFieldX, 198, 80, 22)));
  protocols->addButton(MakeRadio(kUdp, Text(14), QRect(kFieldX + 85, 198, 80, 22)));

  MakeLabel(kActionLabel, Text(20), QRect(20, 236, 100, 22));
  auto* actions = new QButtonGroup(this);
  actions->addButton(MakeRadio(kAllow, Text(10), QRect(kFieldX, 236, 80, 22)));
  actions->addButton(MakeRadio(kBlock, Text(11), QRect(kFieldX + 85, 236, 80, 22)));
  MakeOkCancel(266, Text(24), Text(25));

  if (!entry) {
    SetChecked(*this, kAllow, true);
    SetChecked(*this, kTcp, true);
    ipCheck->setChecked(true);
    portCheck->setChecked(true);
  } else {
    SetChecked(*this, entry->action == 1 ? kAllow : kBlock, true);
    if (entry->beginIp != 0)
      SetFieldText(*this, kBeginIp,
                   QString::fromStdString(platform::HostAddressText(entry->beginIp)));
    if (entry->endIp != 0)
      SetFieldText(*this, kEndIp, QString::fromStdString(platform::HostAddressText(entry->endIp)));
    if (entry->beginPort != 0) SetFieldText(*this, kBeginPort, QString::number(entry->beginPort));
    if (entry->endPort != 0) SetFieldText(*this, kEndPort, QString::number(entry->endPort));
    ipCheck->setChecked(entry->beginIp != 0 && entry->endIp != 0);
    portCheck->setChecked(entry->beginPort != 0 && entry->endPort != 0);
    SetChecked(*this, entry->protocol == store::kProtocolTcp ? kTcp : kUdp, true);
  }
  connect(ipCheck, &QAbstractButton::toggled, this, &CPolicyDlg::ApplyStates);
  connect(portCheck, &QAbstractButton::toggled, this, &CPolicyDlg::ApplyStates);
  ApplyStates();
}

void CPolicyDlg::ApplyStates() {
  ApplyControlStates(*this,
                     PolicyDialogStates(Checked(*this, kIpCheck), Checked(*this, kPortCheck)));
}

void CPolicyDlg::OnOK() {
  PolicyFields fields;
  fields.ipChecked = Checked(*this, kIpCheck);
  fields.beginIp = FieldText(*this, kBeginIp);
  fields.endIp = FieldText(*this, kEndIp);
  fields.portChecked = Checked(*this, kPortCheck);
  fields.beginPort = FieldText(*this, kBeginPort);
  fields.endPort = FieldText(*this, kEndPort);
  fields.tcp = Checked(*this, kTcp);
  fields.allow = Checked(*this, kAllow);
  store::tagPOLICY entry{};
  CheckResult result = CheckPolicyFields(fields, &entry);
  if (!result.Accepted()) {
    Message(QMessageBox::Warning, result.caption, result.message);
    return;
  }
  result_ = entry;
  accept();
}

}  // namespace qxfw::rules_ui
