// The program as its users start it: through the companion, with rules on the command line,
// a second instance, qxfwctl commands handed to the running program, and the end once the
// companion is gone. Runs the real binaries (offscreen).
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <cstdlib>

#include "platform/file.h"
#include "test_support/temp_dir.h"

namespace {

QString Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? QString::fromUtf8(value) : QString();
}

struct Result {
  int status;
  QString out;
  QString err;
};

Result Run(const QString& program, const QStringList& args, int timeoutMs = 30000) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    return {-1, QString(), QStringLiteral("timed out")};
  }
  return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
          QString::fromUtf8(p.readAllStandardError())};
}

Result Ctl(const QString& words) {
  return Run(Env("QXFWCTL"), words.split(QLatin1Char(' ')));
}

}  // namespace

class ShellProcessTest : public QObject {
  Q_OBJECT
 private:
  qxfw::test_support::TempDir dir_;
  QProcess companion_;

 private slots:
  void initTestCase() {
    qputenv("QXFW_APPDATA", dir_.path().c_str());
    qputenv("QXFW_SYSTEM_DIR", (dir_.path() + "/system").c_str());
    qputenv("TMPDIR", dir_.path().c_str());
    qputenv("QXFW_DEBUG", "1");
    QVERIFY(!Env("QXFW_COMPANION").isEmpty());
    companion_.setProcessChannelMode(QProcess::MergedChannels);
    companion_.start(Env("QXFW_COMPANION"), {QStringLiteral("/G:1,/usr/bin/true;0,/usr/bin/false"),
                                             QStringLiteral("/P:1,80,80,0.0.0.0,0.0.0.0,1,web,1"),
                                             QStringLiteral("/e:on")});
    QVERIFY(companion_.waitForStarted());
  }

  void commandLineRulesAreStoredAndCtlGoesThroughTheProgram() {
    // The program holds the rule data file; qxfwctl's list is answered by the program.
    Result list;
    for (int i = 0; i < 200; ++i) {
      list = Ctl(QStringLiteral("rules list"));
      if (list.status == 0 && list.out.contains(QStringLiteral("Program rules: 2"))) break;
      QTest::qWait(100);
    }
    QCOMPARE(list.status, 0);
    QVERIFY2(list.out.contains(QStringLiteral("Program rules: 2")),
             qPrintable(list.out + list.err));
    QVERIFY(list.out.contains(QStringLiteral("IP/port rules: 1")));
    Result add = Ctl(QStringLiteral("rules add-program allow /usr/bin/env"));
    QCOMPARE(add.status, 0);
    QVERIFY2(add.out.contains(QStringLiteral("added: Allow /usr/bin/env")),
             qPrintable(add.out + add.err));
    // The program's answer carries failures and their exit status too.
    Result again = Ctl(QStringLiteral("rules add-program allow /usr/bin/env"));
    QCOMPARE(again.status, 1);
    QVERIFY(again.err.contains(QStringLiteral("already exists")));
    Result bad = Ctl(QStringLiteral("level set 9"));
    QCOMPARE(bad.status, 2);
    QCOMPARE(Ctl(QStringLiteral("level set 4")).status, 0);
    QVERIFY(Ctl(QStringLiteral("level")).out.startsWith(QStringLiteral("4 High")));
  }

  void secondInstanceHandsOverItsRulesAndEnds() {
    QProcess second;
    second.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    second.start(Env("QXFW_PROGRAM"), {QStringLiteral("/G:0,/usr/bin/yes;1,/usr/bin/head")});
    QVERIFY(second.waitForFinished(20000));
    QVERIFY(timer.elapsed() < 15000);
    QString text = QString::fromUtf8(second.readAll());
    QVERIFY2(text.contains(QStringLiteral("[QXFW.exe] AlreadyExist! This new process stop")),
             qPrintable(text));
    QTRY_VERIFY_WITH_TIMEOUT(
        Ctl(QStringLiteral("rules list")).out.contains(QStringLiteral("Program rules: 5")), 5000);
    // 51 items, or an item with three fields: nothing is added.
    QString many = QStringLiteral("/G:");
    for (int i = 0; i < 51; ++i) many += QStringLiteral("1,/a;");
    QCOMPARE(Run(Env("QXFW_PROGRAM"), {many}).status, 0);
    QCOMPARE(Run(Env("QXFW_PROGRAM"), {QStringLiteral("/G:1,/usr/bin/b,/x")}).status, 0);
    QVERIFY(Ctl(QStringLiteral("rules list")).out.contains(QStringLiteral("Program rules: 5")));
  }

  void programEndsAboutTenSecondsAfterTheCompanion() {
    QElapsedTimer timer;
    timer.start();
    companion_.terminate();
    QVERIFY(companion_.waitForFinished(20000));
    const qint64 elapsed = timer.elapsed();
    QString text = QString::fromUtf8(companion_.readAll());
    QVERIFY2(elapsed > 9500 && elapsed < 13000,
             qPrintable(QString::number(elapsed) + text.right(3000)));
    QCOMPARE(companion_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(companion_.exitCode(), 0);
    QVERIFY(text.contains(
        QStringLiteral("CMainFrame::OnTimer Kill WAIT U:-1, I:0, S:0 => DestroyWindow()")));
    QVERIFY(text.contains(QStringLiteral("CFireWallApp::~CFireWallApp()")));
    // The store is free again and holds everything that went through the program.
    Result list = Ctl(QStringLiteral("rules list"));
    QCOMPARE(list.status, 0);
    QVERIFY(list.out.contains(QStringLiteral("Security level: 4")));
    QVERIFY(list.out.contains(QStringLiteral("Program rules: 5")));
    QVERIFY(list.out.contains(QStringLiteral("/usr/bin/head")));
    QVERIFY(list.out.contains(QStringLiteral("IP/port rules: 1")));
    // The window rectangle went to UserOpts.ini at exit.
    std::string opts;
    QVERIFY(qxfw::platform::ReadWholeFile(dir_.path() + "/QOLTEX/Firewall/UserOpts.ini", &opts));
    QVERIFY2(opts.find("Right=630") != std::string::npos, opts.c_str());
    QVERIFY(opts.find("Bottom=520") != std::string::npos);
  }
};

QTEST_GUILESS_MAIN(ShellProcessTest)
#include "shell_process_test.moc"
