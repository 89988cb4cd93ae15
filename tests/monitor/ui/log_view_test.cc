// The log page's list over a rule store of the test's own: today's entries as they are added
// (without reopening the page), the date fields with their corrections, program entries before
// IP/port entries, and the calendar that closes on a chosen day only.
#include <QCalendarWidget>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <cstring>

#include "controls/qx_list_ctrl.h"
#include "monitor/ui/log_view.h"
#include "store/db_manager.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::monitor;

namespace {

QString EnglishText(int id) {
  return QString::fromUtf8(qxfw::store::kEnglishStrings[id]);
}

class LogViewTest : public QObject {
  Q_OBJECT

 private:
  qxfw::test_support::TempDir dir_;

  static qxfw::store::tagFIREWALL_PROGRAM Program(const char* path) {
    qxfw::store::tagFIREWALL_PROGRAM program{};
    program.action = 1;
    std::strcpy(program.path, path);
    return program;
  }

 private slots:
  void entriesOfTodayAppearAndTheRangeCorrects() {
    qxfw::store::CDBManager store(dir_.path());
    QVERIFY(store.IsJournalOpen());
    qxfw::store::tagFIREWALL_PORTIP rule{};
    rule.action = 0;
    rule.beginPort = 80;
    rule.endPort = 80;
    rule.protocol = 1;
    rule.portType = 1;
    QVERIFY(store.AddPortIp(rule) != 0);

    QWidget host;
    host.resize(520, 400);
    CLogList log(&host, EnglishText, nullptr, store, false);
    host.show();
    const QDate today = QDate::currentDate();
    const QString todayField = today.toString(QStringLiteral("yyyy.MM.dd"));
    QCOMPARE(log.BeginField()->text(), todayField);
    QCOMPARE(log.EndField()->text(), todayField);
    auto* list = log.List();
    QCOMPARE(list->GetItemCount(), 1);
    QCOMPARE(list->GetItemText(0, 1), QStringLiteral(" *******"));
    QCOMPARE(list->GetItemText(0, 2), QStringLiteral("* :80"));
    QCOMPARE(list->GetItemText(0, 4), QStringLiteral("Block"));
    QCOMPARE(list->GetItemText(0, 5), QStringLiteral("Add"));

    // An entry added elsewhere shows without the page being asked to refresh; program entries
    // come before IP/port entries.
    auto program = Program("/usr/bin/wget");
    QVERIFY(store.AddProgram(program, nullptr) != 0);
    QVERIFY(QTest::qWaitFor([&] { return list->GetItemCount() == 2; }, 5000));
    QCOMPARE(list->GetItemText(0, 1), QStringLiteral("wget"));
    QCOMPARE(list->GetItemText(0, 4), QStringLiteral("Allow"));
    QRegularExpression time(
        QStringLiteral("^%1/%2/%3 ([0-9]|1[0-2]):[0-9]{1,2}:[0-9]{1,2} (AM|PM)$")
            .arg(today.year())
            .arg(today.month())
            .arg(today.day()));
    QVERIFY2(time.match(list->GetItemText(0, 0)).hasMatch(), qPrintable(list->GetItemText(0, 0)));

    // Typing into the fields changes nothing.
    QTest::keyClicks(log.BeginField(), QStringLiteral("20"));
    QCOMPARE(log.BeginField()->text(), todayField);

    // A begin after the end moves the end to it: only that day is listed.
    QDate next = today.addDays(1);
    log.SetDatePicker([&](QWidget*, const QDate&) { return std::optional<QDate>(next); });
    log.ChooseBegin();
    QCOMPARE(log.BeginField()->text(), next.toString(QStringLiteral("yyyy.MM.dd")));
    QCOMPARE(log.EndField()->text(), next.toString(QStringLiteral("yyyy.MM.dd")));
    QCOMPARE(list->GetItemCount(), 0);
    // An end before the begin becomes the begin.
    next = today.addDays(-3);
    log.ChooseEnd();
    QCOMPARE(log.EndField()->text(), today.addDays(1).toString(QStringLiteral("yyyy.MM.dd")));
    // A wider range takes today's entries back.
    log.ChooseBegin();
    QCOMPARE(log.BeginField()->text(), next.toString(QStringLiteral("yyyy.MM.dd")));
    QCOMPARE(list->GetItemCount(), 2);
    // A cancelled calendar keeps the range.
    log.SetDatePicker([](QWidget*, const QDate&) { return std::optional<QDate>(); });
    log.ChooseEnd();
    QCOMPARE(list->GetItemCount(), 2);
  }

  void calendarClosesOnAChosenDayOnly() {
    CCalendarDialog dialog(QDate(2006, 3, 5), nullptr);
    dialog.show();
    dialog.Calendar()->setSelectedDate(QDate(2006, 4, 1));  // paging: still open
    QVERIFY(dialog.isVisible());
    emit dialog.Calendar()->clicked(QDate(2006, 4, 9));
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(dialog.Chosen(), QDate(2006, 4, 9));
    QVERIFY(!dialog.isVisible());
  }
};

}  // namespace

int RunLogViewTests(int argc, char** argv) {
  LogViewTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "log_view_test.moc"
