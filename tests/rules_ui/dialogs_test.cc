// The policy, add-port and add-program dialogs driven by control identifiers, with message
// boxes answered as a user would, over a real rule data file.
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cstring>
#include <memory>

#include "controls/qx_list_ctrl.h"
#include "modal_driver.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/add_port_dlg.h"
#include "rules_ui/dialog_fields.h"
#include "rules_ui/policy_dlg.h"
#include "store/db_manager.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::rules_ui;
using namespace qxfw::rules_ui_test;
using qxfw::store::CDBManager;
using qxfw::store::tagFIREWALL_PORTIP;
using qxfw::store::tagFIREWALL_PROGRAM;
using qxfw::store::tagPOLICY;

namespace {

QString English(int id) {
  return QString::fromUtf8(qxfw::store::kEnglishStrings[id]);
}

void Click(CSkinDialog& dialog, int id) {
  QWidget* control = dialog.Control(id);
  QVERIFY2(control != nullptr, qPrintable(QString::number(id)));
  QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(5, control->height() / 2));
}

void SetText(CSkinDialog& dialog, int id, const QString& text) {
  auto* edit = dialog.ControlAs<QLineEdit>(id);
  QVERIFY(edit != nullptr);
  edit->setText(text);
}

bool Enabled(CSkinDialog& dialog, int id) {
  return dialog.Control(id)->isEnabled();
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<qxfw::test_support::TempDir> dir_;
  std::unique_ptr<CDBManager> db_;

 private slots:
  void init() {
    dir_ = std::make_unique<qxfw::test_support::TempDir>();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QVERIFY(db_->IsRuleFileOpen());
  }
  void cleanup() {
    db_.reset();
    dir_.reset();
  }

  void everyControlIsNamed() {
    CPolicyDlg policy(English, std::nullopt);
    CAddPortDlg port(English, std::nullopt);
    CAddDlg add(English, *db_, CAddDlg::Mode::kAdd);
    for (QDialog* dialog : std::initializer_list<QDialog*>{&policy, &port, &add}) {
      for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow()) continue;
        QVERIFY2(!child->objectName().isEmpty(), child->metaObject()->className());
        bool isTypeText = child->objectName() == QLatin1String("1054");
        QVERIFY2(isTypeText || !child->accessibleName().isEmpty(), qPrintable(child->objectName()));
      }
    }
    QCOMPARE(policy.windowTitle(), English(12));
    QCOMPARE(port.windowTitle(), English(203));
    QCOMPARE(add.windowTitle(), English(204));
  }

  void policyDialogChecks() {
    CPolicyDlg dialog(English, std::nullopt);
    dialog.show();
    QVERIFY(Checked(dialog, CPolicyDlg::kAllow));
    QVERIFY(Checked(dialog, CPolicyDlg::kTcp));
    QVERIFY(Checked(dialog, CPolicyDlg::kIpCheck) && Checked(dialog, CPolicyDlg::kPortCheck));
    // Neither condition.
    Click(dialog, CPolicyDlg::kIpCheck);
    Click(dialog, CPolicyDlg::kPortCheck);
    QVERIFY(!Enabled(dialog, CPolicyDlg::kBeginIp));
    QVERIFY(!Enabled(dialog, CPolicyDlg::kUdp));
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(193));
    QCOMPARE(seen.caption, English(206));
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QVERIFY(dialog.isVisible());
    // Ports 1000-999, then 65536 and 65537, which are never read as 0 or 1.
    Click(dialog, CPolicyDlg::kPortCheck);
    QVERIFY(Enabled(dialog, CPolicyDlg::kUdp));
    SetText(dialog, CPolicyDlg::kBeginPort, "1000");
    SetText(dialog, CPolicyDlg::kEndPort, "999");
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(185));
    for (const char* port : {"65536", "65537"}) {
      SetText(dialog, CPolicyDlg::kEndPort, port);
      AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, CSkinDialog::kOk);
      QCOMPARE(seen.text, English(183));
    }
    QCOMPARE(seen.count, 4);
    QVERIFY(dialog.isVisible());
    SetText(dialog, CPolicyDlg::kEndPort, "1001");
    Click(dialog, CPolicyDlg::kUdp);
    Click(dialog, CPolicyDlg::kBlock);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QCOMPARE(int{dialog.Entry().beginPort}, 1000);
    QCOMPARE(int{dialog.Entry().endPort}, 1001);
    QCOMPARE(int{dialog.Entry().protocol}, 2);
    QCOMPARE(int{dialog.Entry().action}, 0);
  }

  void policyDialogAddressOnlyAndModifyPreset() {
    CPolicyDlg dialog(English, std::nullopt);
    dialog.show();
    Click(dialog, CPolicyDlg::kPortCheck);
    SetText(dialog, CPolicyDlg::kBeginIp, "192.168.0.1");
    SetText(dialog, CPolicyDlg::kEndIp, "192.168.0.255");
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QCOMPARE(dialog.Entry().endIp, 0xC0A800FFu);
    QCOMPARE(int{dialog.Entry().beginPort}, 0);
    QCOMPARE(int{dialog.Entry().protocol}, 0);

    tagPOLICY entry{};
    entry.action = 0;
    entry.beginPort = entry.endPort = 25;
    entry.protocol = 1;
    CPolicyDlg modify(English, entry);
    QVERIFY(Checked(modify, CPolicyDlg::kBlock));
    QVERIFY(Checked(modify, CPolicyDlg::kPortCheck));
    QVERIFY(!Checked(modify, CPolicyDlg::kIpCheck));
    QVERIFY(!Enabled(modify, CPolicyDlg::kBeginIp));
    QVERIFY(Checked(modify, CPolicyDlg::kTcp));
    QCOMPARE(FieldText(modify, CPolicyDlg::kBeginPort), std::string("25"));
  }

  void addPortDialogAddressOnlyRule() {
    CAddPortDlg dialog(English, std::nullopt);
    dialog.show();
    QVERIFY(Checked(dialog, CAddPortDlg::kAllow) && Checked(dialog, CAddPortDlg::kTcp));
    QVERIFY(!dialog.Control(CAddPortDlg::kEndPort)->isVisible());
    Click(dialog, CAddPortDlg::kRangeCheck);
    QVERIFY(dialog.Control(CAddPortDlg::kEndPort)->isVisible());
    Click(dialog, CAddPortDlg::kPortCheck);
    QVERIFY(!Enabled(dialog, CAddPortDlg::kDescription));
    QVERIFY(!Enabled(dialog, CAddPortDlg::kRangeCheck));
    SetText(dialog, CAddPortDlg::kBeginIp, "10.0.0.9");
    SetText(dialog, CAddPortDlg::kEndIp, "10.0.0.1");
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(91));
    QCOMPARE(seen.caption, English(207));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    SetText(dialog, CAddPortDlg::kBeginIp, "10.0.0.1");
    SetText(dialog, CAddPortDlg::kEndIp, "10.0.0.9");
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    const tagFIREWALL_PORTIP& rule = dialog.Record();
    QCOMPARE(rule.beginIp, 0x0A000001u);
    QCOMPARE(int{rule.protocol}, 4);
    QCOMPARE(int{rule.portType}, 4);
    QCOMPARE(int{rule.beginPort}, 0);
  }

  void addPortDialogPortFields() {
    CAddPortDlg dialog(English, std::nullopt);
    dialog.show();
    Click(dialog, CAddPortDlg::kIpCheck);
    // Typing clamps the port fields, not the description.
    auto* begin = dialog.ControlAs<QLineEdit>(CAddPortDlg::kBeginPort);
    begin->setFocus();
    QTest::keyClicks(begin, "70000");
    QCOMPARE(begin->text(), QStringLiteral("65535"));
    auto* description = dialog.ControlAs<QLineEdit>(CAddPortDlg::kDescription);
    description->setFocus();
    QTest::keyClicks(description, "100000 hits");
    QCOMPARE(description->text(), QStringLiteral("100000 hits"));
    // A text that arrived otherwise is refused, never wrapped to 4464.
    SetText(dialog, CAddPortDlg::kBeginPort, "70000");
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(87));
    QCOMPARE(seen.caption, English(194));
    QVERIFY(dialog.isVisible());
    SetText(dialog, CAddPortDlg::kBeginPort, "80");
    SetText(dialog, CAddPortDlg::kDescription, "");
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(93));
    SetText(dialog, CAddPortDlg::kDescription, "web");
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QCOMPARE(int{dialog.Record().beginPort}, 80);
    QCOMPARE(int{dialog.Record().endPort}, 80);
    QCOMPARE(int{dialog.Record().protocol}, 1);
  }

  void addPortDialogProtectedRule() {
    tagFIREWALL_PORTIP system{};
    system.action = 1;
    system.beginPort = 137;
    system.endPort = 139;
    system.protocol = 2;
    system.portType = 2;
    std::strcpy(system.description, "NetBIOS");
    CAddPortDlg dialog(English, system);
    dialog.show();
    QCOMPARE(dialog.ControlAs<QLabel>(CAddPortDlg::kPortTypeText)->text(), English(96));
    QVERIFY(Checked(dialog, CAddPortDlg::kRangeCheck));
    QCOMPARE(FieldText(dialog, CAddPortDlg::kEndPort), std::string("139"));
    QVERIFY(Checked(dialog, CAddPortDlg::kUdp));
    for (int id : {1140, 1125, 1056, 1022, 1023, 1024, 1025, 1050, 1020, 1021})
      QVERIFY2(!Enabled(dialog, id), qPrintable(QString::number(id)));
    QVERIFY(Enabled(dialog, CAddPortDlg::kAllow) && Enabled(dialog, CAddPortDlg::kBlock));
    Click(dialog, CAddPortDlg::kBlock);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QCOMPARE(int{dialog.Record().action}, 0);
    QCOMPARE(int{dialog.Record().portType}, 2);
    QCOMPARE(int{dialog.Record().endPort}, 139);
  }

  void addDialogChecksAndPolicyEntries() {
    CAddDlg dialog(English, *db_, CAddDlg::Mode::kAdd);
    dialog.show();
    QVERIFY(Checked(dialog, CAddDlg::kAllow));
    QVERIFY(!Enabled(dialog, CAddDlg::kPolicyList));
    QVERIFY(!Enabled(dialog, CAddDlg::kPolicyAdd));
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(84));
    QCOMPARE(seen.caption, English(196));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    // A path longer than the record holds is refused, not cut.
    SetText(dialog, CAddDlg::kPath, "/" + QString(300, 'p'));
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(94));
    QVERIFY(dialog.isVisible());

    SetText(dialog, CAddDlg::kPath, "/usr/bin/foo");
    Click(dialog, CAddDlg::kAdvanced);
    QVERIFY(Enabled(dialog, CAddDlg::kPolicyAdd));
    AnswerMessage(QMessageBox::Ok, &seen);
    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(seen.text, English(85));
    QVERIFY(dialog.isVisible());

    // One entry through the policy dialog; the same entry again is a conflict, shown, and the
    // policy dialog opens again until cancelled.
    auto fillPorts = [](QWidget* widget) {
      auto* policy = static_cast<CPolicyDlg*>(widget);
      Click(*policy, CPolicyDlg::kIpCheck);
      SetText(*policy, CPolicyDlg::kBeginPort, "25");
      SetText(*policy, CPolicyDlg::kEndPort, "25");
      Click(*policy, CSkinDialog::kOk);
    };
    WhenModal("CPolicyDlg", fillPorts);
    Click(dialog, CAddDlg::kPolicyAdd);
    QCOMPARE(dialog.PolicyList()->GetItemCount(), 1);
    QCOMPARE(dialog.PolicyList()->GetItemText(0, 1), QStringLiteral("*:25"));
    QCOMPARE(dialog.PolicyList()->GetItemText(0, 3), QStringLiteral("TCP"));
    WhenModal("CPolicyDlg", [&seen](QWidget* widget) {
      auto* policy = static_cast<CPolicyDlg*>(widget);
      Click(*policy, CPolicyDlg::kIpCheck);
      SetText(*policy, CPolicyDlg::kBeginPort, "25");
      SetText(*policy, CPolicyDlg::kEndPort, "25");
      AnswerMessage(QMessageBox::Ok, &seen);
      WhenModal("CPolicyDlg", [](QWidget* again) { static_cast<QDialog*>(again)->reject(); });
      Click(*policy, CSkinDialog::kOk);
    });
    Click(dialog, CAddDlg::kPolicyAdd);
    QCOMPARE(seen.text, English(88));
    QCOMPARE(seen.caption, English(196));
    QCOMPARE(seen.icon, QMessageBox::Information);
    QCOMPARE(dialog.PolicyList()->GetItemCount(), 1);

    // Delete with nothing selected asks nothing; No keeps the entry.
    const int before = seen.count;
    dialog.PolicyList()->SelectRow(-1);
    dialog.OnPolicyDelete();
    QCOMPARE(seen.count, before);
    dialog.PolicyList()->SelectRow(0);
    AnswerMessage(QMessageBox::No, &seen);
    Click(dialog, CAddDlg::kPolicyDelete);
    QCOMPARE(seen.text, English(83));
    QCOMPARE(seen.caption, English(120));
    QCOMPARE(dialog.PolicyList()->GetItemCount(), 1);
    QCOMPARE(dialog.PolicyTable().count, 1u);

    Click(dialog, CSkinDialog::kOk);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QCOMPARE(int{dialog.Record().action}, 2);
    QCOMPARE(QString(dialog.Record().path), QStringLiteral("/usr/bin/foo"));
    QCOMPARE(dialog.PolicyTable().count, 1u);
  }

  void addDialogModifyModeReadsTheStoredTable() {
    tagFIREWALL_PROGRAM rule{};
    rule.action = 2;
    std::strcpy(rule.path, "/usr/bin/bar");
    qxfw::store::tagPOLICY_TABLE table{};
    table.count = 2;
    table.entries[0] = {1, {}, 0x0A000001, 0x0A000002, 0, 0, 0, {}};
    table.entries[1] = {0, {}, 0, 0, 53, 53, 2, {}};
    QVERIFY(db_->AddProgram(rule, &table) != 0);
    QVERIFY(rule.policySlot != 0);
    CAddDlg dialog(English, *db_, CAddDlg::Mode::kModify, rule);
    QVERIFY(dialog.IsReady());
    dialog.show();
    QVERIFY(!Enabled(dialog, CAddDlg::kPath));
    QVERIFY(!Enabled(dialog, CAddDlg::kBrowse));
    QVERIFY(!Enabled(dialog, CAddDlg::kProcessList));
    QVERIFY(Checked(dialog, CAddDlg::kAdvanced));
    QCOMPARE(dialog.PolicyList()->GetItemCount(), 2);
    QCOMPARE(dialog.PolicyList()->GetItemText(0, 1), QStringLiteral("10.0.0.1:*"));
    QCOMPARE(dialog.PolicyList()->GetItemText(1, 3), QStringLiteral("UDP"));
    QCOMPARE(dialog.PolicyList()->GetItemText(1, 0), English(11));
    // A slot that does not hold a table: the dialog does not open.
    rule.policySlot = 999;
    CAddDlg broken(English, *db_, CAddDlg::Mode::kModify, rule);
    QVERIFY(!broken.IsReady());
    QCOMPARE(broken.exec(), int{QDialog::Rejected});
    // Opened for a policy only: Allow and Block are fixed.
    tagFIREWALL_PROGRAM fresh{};
    fresh.action = 1;
    std::strcpy(fresh.path, "/usr/bin/baz");
    CAddDlg policyOnly(English, *db_, CAddDlg::Mode::kPolicyOnly, fresh);
    QVERIFY(!Enabled(policyOnly, CAddDlg::kAllow));
    QVERIFY(!Enabled(policyOnly, CAddDlg::kBlock));
    QVERIFY(Checked(policyOnly, CAddDlg::kAdvanced));
    QVERIFY(Enabled(policyOnly, CAddDlg::kPolicyAdd));
  }
};

int RunDialogsTests(int argc, char** argv) {
  DialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
