// The process list and program information dialogs over the machine's real processes and
// package database: a process the test started is listed and can be picked into the
// add-program dialog; a packaged program shows its package, a file outside any shows "n/a".
#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <fstream>
#include <memory>

#include "../../rules_ui/modal_driver.h"
#include "controls/qx_list_ctrl.h"
#include "monitor/ui/process_list_dlg.h"
#include "monitor/ui/program_info_dlg.h"
#include "rules_ui/add_dlg.h"
#include "store/db_manager.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::monitor;
using namespace qxfw::rules_ui_test;

namespace {

QString English(int id) {
  return QString::fromUtf8(qxfw::store::kEnglishStrings[id]);
}

int RowOf(CProcessListDlg& dialog, qint64 pid) {
  for (int row = 0; row < dialog.List()->GetItemCount(); ++row) {
    if (dialog.List()->GetItemText(row, 1) == QString::number(pid)) return row;
  }
  return -1;
}

}  // namespace

class ProcessDialogsTest : public QObject {
  Q_OBJECT
 private:
  QProcess sleeper_;

 private slots:
  void initTestCase() {
    sleeper_.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("600")});
    QVERIFY(sleeper_.waitForStarted());
  }
  void cleanupTestCase() {
    sleeper_.kill();
    sleeper_.waitForFinished();
  }

  void processListShowsAndPicksTheProcess() {
    CProcessListDlg dialog(English);
    dialog.show();
    QCOMPARE(dialog.windowTitle(), English(172));
    QCOMPARE(dialog.List()->headerItem()->text(1), English(27));
    QTRY_VERIFY(dialog.Filled());
    const int row = RowOf(dialog, sleeper_.processId());
    QVERIFY(row >= 0);
    QCOMPARE(dialog.List()->GetItemText(row, 0), QStringLiteral("sleep"));
    QCOMPARE(dialog.List()->GetItemText(row, 3), QStringLiteral("/usr/bin/sleep"));
    // OK without a selection warns and stays.
    dialog.List()->SelectRow(-1);
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    QTest::mouseClick(dialog.Control(qxfw::rules_ui::CSkinDialog::kOk), Qt::LeftButton);
    QCOMPARE(seen.text, English(82));
    QCOMPARE(seen.caption, English(172));
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QVERIFY(dialog.isVisible());
    dialog.List()->SelectRow(row);
    QTest::mouseClick(dialog.Control(qxfw::rules_ui::CSkinDialog::kOk), Qt::LeftButton);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QCOMPARE(qint64{dialog.ChosenProcessId()}, sleeper_.processId());
    QCOMPARE(dialog.ChosenPath(), std::string("/usr/bin/sleep"));
  }

  void pickingFillsTheAddProgramPath() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    qxfw::rules_ui::CAddDlg::SetProcessPicker(MakeProcessPicker(English));
    qxfw::rules_ui::CAddDlg add(English, db, qxfw::rules_ui::CAddDlg::Mode::kAdd);
    add.show();
    const qint64 pid = sleeper_.processId();
    WhenModal("CProcessListDlg", [pid](QWidget* widget) {
      auto* list = static_cast<CProcessListDlg*>(widget);
      QTRY_VERIFY(list->Filled());
      list->List()->SelectRow(RowOf(*list, pid));
      emit list->List()->rowDoubleClicked(RowOf(*list, pid));
    });
    QTest::mouseClick(add.Control(qxfw::rules_ui::CAddDlg::kProcessList), Qt::LeftButton);
    QCOMPARE(add.ControlAs<QLineEdit>(qxfw::rules_ui::CAddDlg::kPath)->text(),
             QStringLiteral("/usr/bin/sleep"));
    qxfw::rules_ui::CAddDlg::SetProcessPicker({});
  }

  void programInformation() {
    CProgramInfoDlg ls(English, "/usr/bin/ls");
    ls.show();
    QCOMPARE(ls.windowTitle(), English(99));
    QTRY_VERIFY(ls.Filled());
    QCOMPARE(ls.Value(CProgramInfoDlg::kProductName), QStringLiteral("coreutils"));
    QCOMPARE(ls.Value(CProgramInfoDlg::kFileName), QStringLiteral("ls"));
    QVERIFY(ls.Value(CProgramInfoDlg::kFileVersion) != QStringLiteral("n/a"));

    qxfw::test_support::TempDir dir;
    const std::string own = dir.path() + "/own-tool";
    std::ofstream(own) << "#!/bin/sh\n";
    CProgramInfoDlg outside(English, own);
    QTRY_VERIFY(outside.Filled());
    QCOMPARE(outside.Value(CProgramInfoDlg::kProductName), QStringLiteral("n/a"));
    QCOMPARE(outside.Value(CProgramInfoDlg::kCompanyName), QStringLiteral("n/a"));
    QCOMPARE(outside.Value(CProgramInfoDlg::kDescription), QStringLiteral("n/a"));
    QCOMPARE(outside.Value(CProgramInfoDlg::kPath), QString::fromStdString(own));
  }
};

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  ProcessDialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "process_dialogs_test.moc"
