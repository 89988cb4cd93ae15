#include "rules_ui/add_port_dlg.h"

#include <QButtonGroup>
#include <cstring>

#include "controls/chk_box.h"
#include "controls/color_static.h"
#include "controls/edit_box.h"
#include "controls/radio_btn.h"
#include "platform/address_text.h"
#include "platform/debug_output.h"
#include "rules_ui/dialog_fields.h"
#include "rules_ui/rule_rows.h"

namespace qxfw::rules_ui {
namespace {
constexpr int kLabelX = 40;
constexpr int kFieldX = 135;
}  // namespace

CAddPortDlg::CAddPortDlg(TextSource texts, std::optional<store::tagFIREWALL_PORTIP> before,
                         QWidget* parent)
    : CSkinDialog(std::move(texts), 380, 340, 254, parent) {
  setObjectName(QStringLiteral("CAddPortDlg"));
  if (before) before_ = *before;
  record_ = before_;
  MakeTitle(kTitle, Text(203));

  auto* ipCheck = MakeCheck(kIpCheck, Text(29), QRect(20, 40, 200, 22));
  MakeLabel(kBeginIpLabel, Text(31), QRect(kLabelX, 64, 90, 22));
  MakeAddressEdit(MakeEdit(kBeginIp, Text(31), QRect(kFieldX, 64, 150, 22)));
  MakeLabel(kEndIpLabel, Text(32), QRect(kLabelX, 90, 90, 22));
  MakeAddressEdit(MakeEdit(kEndIp, Text(32), QRect(kFieldX, 90, 150, 22)));

  auto* portCheck = MakeCheck(kPortCheck, Text(30), QRect(20, 120, 110, 22));
  auto* rangeCheck = MakeCheck(kRangeCheck, Text(47), QRect(kFieldX, 120, 200, 22));
  MakeLabel(kPortLabel, Text(30), QRect(kLabelX, 146, 90, 22));
  MakePortEdit(MakeEdit(kBeginPort, Text(33), QRect(kFieldX, 146, 70, 22)));
  MakeLabel(kEndPortLabel, Text(34), QRect(kFieldX + 80, 146, 80, 22));
  MakePortEdit(MakeEdit(kEndPort, Text(34), QRect(kFieldX + 165, 146, 70, 22)));
  auto* protocols = new QButtonGroup(this);
  protocols->addButton(MakeRadio(kTcp, Text(13), QRect(kFieldX, 172, 80, 22)));
  protocols->addButton(MakeRadio(kUdp, Text(14), QRect(kFieldX + 85, 172, 80, 22)));
  MakeLabel(kDescriptionLabel, Text(44), QRect(kLabelX, 198, 90, 22));
  auto* description = MakeEdit(kDescription, Text(44), QRect(kFieldX, 198, 225, 22));
  description->setMaxLength(static_cast<int>(kDescriptionLimit));
  MakeLabel(kPortTypeLabel, Text(39), QRect(kLabelX, 224, 90, 22));
  MakeLabel(kPortTypeText, QString(), QRect(kFieldX, 224, 225, 22));

  MakeLabel(kActionLabel, Text(20), QRect(20, 264, 100, 22));
  auto* actions = new QButtonGroup(this);
  actions->addButton(MakeRadio(kAllow, Text(10), QRect(kFieldX, 264, 80, 22)));
  actions->addButton(MakeRadio(kBlock, Text(11), QRect(kFieldX + 85, 264, 80, 22)));
  MakeOkCancel(302, Text(24), Text(25));

  if (!before) {
    SetChecked(*this, kAllow, true);
    SetChecked(*this, kTcp, true);
    ipCheck->setChecked(true);
    portCheck->setChecked(true);
  } else {
    // An address-only rule shows its addresses; a rule with ports shows them with their texts.
    ipCheck->setChecked(before_.beginIp != 0);
    if (before_.beginIp != 0) {
      SetFieldText(*this, kBeginIp,
                   QString::fromStdString(platform::HostAddressText(before_.beginIp)));
      SetFieldText(*this, kEndIp, QString::fromStdString(platform::HostAddressText(before_.endIp)));
    }
    portCheck->setChecked(before_.beginPort != 0);
    if (before_.beginPort != 0) {
      int typeString = before_.portType == store::kPortTypeUser     ? 95
                       : before_.portType == store::kPortTypeSystem ? 96
                                                                    : 97;
      ControlAs<QLabel>(kPortTypeText)->setText(Text(typeString));
      rangeCheck->setChecked(before_.beginPort != before_.endPort);
      SetFieldText(*this, kBeginPort, QString::number(before_.beginPort));
      if (before_.beginPort != before_.endPort)
        SetFieldText(*this, kEndPort, QString::number(before_.endPort));
      description->setText(QString::fromUtf8(
          before_.description, static_cast<int>(strnlen(before_.description, kDescriptionLimit))));
      SetChecked(*this, before_.protocol == store::kProtocolTcp ? kTcp : kUdp, true);
    } else {
      SetChecked(*this, kTcp, true);
    }
    protected_ = IsProtectedPortRule(before_);
    SetChecked(*this, before_.action == 1 ? kAllow : kBlock, true);
  }
  for (QAbstractButton* box :
       {static_cast<QAbstractButton*>(ipCheck), static_cast<QAbstractButton*>(portCheck),
        static_cast<QAbstractButton*>(rangeCheck)}) {
    connect(box, &QAbstractButton::toggled, this, &CAddPortDlg::ApplyStates);
  }
  ApplyStates();
}

void CAddPortDlg::ApplyStates() {
  ApplyControlStates(*this, PortDialogStates(Checked(*this, kIpCheck), Checked(*this, kPortCheck),
                                             Checked(*this, kRangeCheck), protected_));
}

void CAddPortDlg::OnOK() {
  PortFields fields;
  fields.ipChecked = Checked(*this, kIpCheck);
  fields.beginIp = FieldText(*this, kBeginIp);
  fields.endIp = FieldText(*this, kEndIp);
  fields.portChecked = Checked(*this, kPortCheck);
  fields.beginPort = FieldText(*this, kBeginPort);
  fields.endPort = FieldText(*this, kEndPort);
  fields.rangeChecked = Checked(*this, kRangeCheck);
  fields.tcp = Checked(*this, kTcp);
  fields.description = FieldText(*this, kDescription);
  fields.allow = Checked(*this, kAllow);
  if (fields.ipChecked) {
    platform::DebugOutput("BeginIP=%s(%08x), EndIP=%s(%08x)", fields.beginIp.c_str(),
                          ParseAddressField(fields.beginIp), fields.endIp.c_str(),
                          ParseAddressField(fields.endIp));
  }
  store::tagFIREWALL_PORTIP rule{};
  CheckResult result = CheckPortFields(fields, before_, &rule);
  if (!result.Accepted()) {
    Message(QMessageBox::Critical, result.caption, result.message);
    return;
  }
  record_ = rule;
  accept();
}

}  // namespace qxfw::rules_ui
