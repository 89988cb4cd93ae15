// The process list and program information dialogs over the machine's real processes and
// package database: a process the test started is listed and can be picked into the
// add-program dialog; a packaged program shows its package, a file outside any shows "n/a".
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "../../rules_ui/modal_driver.h"
#include "controls/qx_list_ctrl.h"
#include "monitor/loopback_sockets.h"
#include "monitor/port_list.h"
#include "monitor/ui/process_list_dlg.h"
#include "monitor/ui/process_properties.h"
#include "monitor/ui/program_info_dlg.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/dialog_fields.h"
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

PortInfo UdpRow(qint64 pid) {
  PortInfo row{};
  row.processId = static_cast<uint32_t>(pid);
  std::strcpy(row.localAddress, "127.0.0.1");
  row.localPort = 5353;
  return row;
}

// The row of the network view for a TCP connection of this process: local end server.
PortInfo TcpRow(uint16_t serverPort, uint16_t clientPort) {
  PortInfo row{};
  row.processId = static_cast<uint32_t>(getpid());
  std::strcpy(row.localAddress, "127.0.0.1");
  row.localPort = serverPort;
  std::strcpy(row.remoteAddress, "127.0.0.1");
  row.remotePort = clientPort;
  row.stateName = g_TcpStateNames[5];  // "Established"
  return row;
}

void Press(qxfw::rules_ui::CSkinDialog& dialog, int id) {
  QTest::mouseClick(dialog.Control(id), Qt::LeftButton, {}, QPoint(5, 5));
}

std::vector<qxfw::store::tagFIREWALL_PROGRAM> StoredPrograms(qxfw::store::CDBManager& db) {
  std::vector<qxfw::store::tagFIREWALL_PROGRAM> rules;
  db.Select(qxfw::store::CDBManager::kSelectRuleFile);
  qxfw::store::tagFIREWALL_PROGRAM rule{};
  while (db.Select(qxfw::store::CDBManager::kSelectProgram) != 0) {
    if (db.GetProgram(&rule) != 0) rules.push_back(rule);
  }
  return rules;
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

  void processPropertiesFacts() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    CProcessProperties dialog(English, db, UdpRow(sleeper_.processId()));
    dialog.show();
    QCOMPARE(dialog.windowTitle(), English(170));
    QTRY_VERIFY(dialog.Filled());
    QCOMPARE(dialog.Value(CProcessProperties::kName), QStringLiteral("sleep"));
    QCOMPARE(dialog.Value(CProcessProperties::kPath), QStringLiteral("/usr/bin/sleep"));
    QVERIFY(dialog.ControlAs<QLineEdit>(CProcessProperties::kPath)->isReadOnly());
    QCOMPARE(dialog.Value(CProcessProperties::kThreadCount), QStringLiteral("1"));
    QCOMPARE(dialog.Value(CProcessProperties::kParent),
             QStringLiteral("monitor_ui_test(%1)").arg(getpid()));
    QVERIFY(dialog.Value(CProcessProperties::kOwner).contains(QLatin1Char('\\')));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+:\\d+:\\d+ [AP]M  \\d+-\\d+-\\d+$"))
                .match(dialog.Value(CProcessProperties::kCreationTime))
                .hasMatch());
    QCOMPARE(dialog.Value(CProcessProperties::kVersion).isEmpty(), false);
    // A UDP row has no connection to end; no rule yet: Allow is preset.
    QVERIFY(!dialog.Control(CProcessProperties::kEndConnection)->isEnabled());
    QVERIFY(dialog.Control(CProcessProperties::kEndProcess)->isEnabled());
    QVERIFY(qxfw::rules_ui::Checked(dialog, CProcessProperties::kAllow));
    QVERIFY(!dialog.FoundRule());

    qxfw::platform::SYSTEMTIME time{};
    time.wYear = 2006;
    time.wMonth = 3;
    time.wDay = 5;
    time.wHour = 13;
    time.wMinute = 5;
    time.wSecond = 9;
    QCOMPARE(CProcessProperties::CreationText(time), QStringLiteral("1:5:9 PM  2006-3-5"));
    time.wHour = 0;
    QCOMPARE(CProcessProperties::CreationText(time), QStringLiteral("0:5:9 AM  2006-3-5"));
  }

  // Here a process whose parent ends is handed to a reaper, so the parent id that no running
  // process has is the 0 of a namespace's first process.
  void parentThatNoProcessHasIsShownAsNonExisting() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    CProcessProperties dialog(English, db, UdpRow(1));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    QCOMPARE(dialog.Value(CProcessProperties::kParent),
             QStringLiteral("<Non-existing Process>(0)"));
    // A parent that runs is shown by name.
    CProcessProperties sleeper(English, db, UdpRow(sleeper_.processId()));
    QTRY_VERIFY(sleeper.Filled());
    QCOMPARE(sleeper.Value(CProcessProperties::kParent),
             QStringLiteral("monitor_ui_test(%1)").arg(getpid()));
  }

  void endConnectionEndsTheRowsConnection() {
    if (geteuid() != 0) QSKIP("ending connections needs root (CAP_NET_ADMIN)");
    auto connection = qxfw::test_support::ConnectLoopback();
    QVERIFY(connection.Valid());
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    CProcessProperties dialog(English, db, TcpRow(connection.serverPort, connection.clientPort));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    QVERIFY(dialog.Control(CProcessProperties::kEndConnection)->isEnabled());
    Press(dialog, CProcessProperties::kEndConnection);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QVERIFY(!dialog.isVisible());
    // Ended off the user-interface thread: the peer sees the reset.
    timeval wait{5, 0};
    setsockopt(connection.client.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char byte;
    QCOMPARE(recv(connection.client.Get(), &byte, 1, 0), ssize_t{-1});
    QCOMPARE(errno, ECONNRESET);
    // The listener is untouched.
    QVERIFY(qxfw::test_support::TcpConnect(connection.serverPort).Valid());
  }

  void failedSaveIsReportedAndTheDialogStays() {
    qxfw::store::CDBManager noFiles("");
    CProcessProperties dialog(English, noFiles, UdpRow(sleeper_.processId()));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    Press(dialog, CProcessProperties::kSave);
    QCOMPARE(seen.count, 1);
    QCOMPARE(seen.text, English(131));
    QCOMPARE(seen.caption, English(58));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int{QDialog::Rejected});
  }

  void processPropertiesSaveFindsTheRuleWhateverItsCase() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    qxfw::store::tagFIREWALL_PROGRAM existing{};
    existing.action = 1;
    std::strcpy(existing.path, "/USR/BIN/SLEEP");
    QVERIFY(db.AddProgram(existing, nullptr) != 0);
    CProcessProperties dialog(English, db, UdpRow(sleeper_.processId()));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    QVERIFY(dialog.FoundRule().has_value());
    Press(dialog, CProcessProperties::kBlock);
    Press(dialog, CProcessProperties::kSave);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    auto rules = StoredPrograms(db);
    QCOMPARE(rules.size(), size_t{1});
    QCOMPARE(int{rules[0].action}, 0);
    QCOMPARE(QString(rules[0].path), QStringLiteral("/usr/bin/sleep"));
  }

  void ruleDeletedElsewhereWhileOpenIsStoredAnew() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    qxfw::store::tagFIREWALL_PROGRAM existing{};
    existing.action = 1;
    std::strcpy(existing.path, "/usr/bin/sleep");
    QVERIFY(db.AddProgram(existing, nullptr) != 0);
    CProcessProperties dialog(English, db, UdpRow(sleeper_.processId()));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    QVERIFY(dialog.FoundRule().has_value());
    QVERIFY(db.DeleteProgram(existing) != 0);
    Press(dialog, CProcessProperties::kBlock);
    Press(dialog, CProcessProperties::kSave);
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    auto rules = StoredPrograms(db);
    QCOMPARE(rules.size(), size_t{1});
    QCOMPARE(int{rules[0].action}, 0);
    QCOMPARE(QString(rules[0].path), QStringLiteral("/usr/bin/sleep"));
  }

  void processPropertiesAdvancedWithoutPolicy() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    CProcessProperties dialog(English, db, UdpRow(sleeper_.processId()));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    // The policy dialog is cancelled: no table.
    WhenModal("CAddDlg", [](QWidget* widget) {
      auto* add = static_cast<qxfw::rules_ui::CAddDlg*>(widget);
      QVERIFY(!add->Control(qxfw::rules_ui::CAddDlg::kAllow)->isEnabled());
      QCOMPARE(add->ControlAs<QLineEdit>(qxfw::rules_ui::CAddDlg::kPath)->text(),
               QStringLiteral("/usr/bin/sleep"));
      add->reject();
    });
    Press(dialog, CProcessProperties::kAdvanced);
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    Press(dialog, CProcessProperties::kSave);
    QCOMPARE(seen.text, English(85));
    QCOMPARE(seen.caption, English(58));
    QVERIFY(dialog.isVisible());
    QVERIFY(StoredPrograms(db).empty());
  }

  void processWithoutPathGetsNoRule() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    CProcessProperties dialog(English, db, UdpRow(0x7ffffff0));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    QCOMPARE(dialog.Value(CProcessProperties::kName), QStringLiteral("n/a"));
    for (int id : {1009, 1010, 1011, 1210, 1211, 1212})
      QVERIFY2(!dialog.Control(id)->isEnabled(), qPrintable(QString::number(id)));
    dialog.OnSave();
    QVERIFY(StoredPrograms(db).empty());
  }

  void endProcessAsksAndEndsOnlyTheShownProcess() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CDBManager db(dir.path());
    QProcess victim;
    victim.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("600")});
    QVERIFY(victim.waitForStarted());
    {
      CProcessProperties dialog(English, db, UdpRow(victim.processId()));
      dialog.show();
      QTRY_VERIFY(dialog.Filled());
      SeenMessage seen;
      AnswerMessage(QMessageBox::No, &seen);
      Press(dialog, CProcessProperties::kEndProcess);
      QCOMPARE(seen.text, English(191));
      QCOMPARE(seen.caption, English(187));
      QCOMPARE(seen.icon, QMessageBox::Question);
      QVERIFY(dialog.isVisible());
      QVERIFY(!victim.waitForFinished(200));
      AnswerMessage(QMessageBox::Yes, &seen);
      Press(dialog, CProcessProperties::kEndProcess);
      QVERIFY(!dialog.isVisible());
    }
    QVERIFY(victim.waitForFinished(5000));
    // A process that ended while the dialog was open: nothing is signalled.
    QProcess gone;
    gone.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("600")});
    QVERIFY(gone.waitForStarted());
    CProcessProperties dialog(English, db, UdpRow(gone.processId()));
    dialog.show();
    QTRY_VERIFY(dialog.Filled());
    gone.kill();
    QVERIFY(gone.waitForFinished(5000));
    SeenMessage seen;
    AnswerMessage(QMessageBox::Yes, &seen);
    dialog.OnEndProcess();
    QCOMPARE(dialog.result(), int{QDialog::Accepted});
    QVERIFY(sleeper_.state() == QProcess::Running);
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
