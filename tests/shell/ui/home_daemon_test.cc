// The home page and the tray with the real filter daemon: the program attaches to it, and when
// the daemon stops both say "not protected" within two seconds; started again, the program
// takes it back and both say protected. The daemon filters a network namespace this test makes
// for itself (it goes with the test's process), so nothing of the machine's traffic is held.
// Needs root; drives the real windows and browser views (offscreen).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWebEnginePage>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "firewall/device_protocol.h"
#include "platform/named_event.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"
#include "shell/ui/main_frame.h"
#include "shell/ui/page_view.h"
#include "shell/ui/tray_icon.h"
#include "test_support/temp_dir.h"

using namespace qxfw::shell;

namespace {

std::string g_folder;
bool g_isolated = false;  // the test runs in a network namespace of its own

QString Text(CPageView* view, const QString& selector) {
  QString result = QStringLiteral("<no answer>");
  bool done = false;
  view->page()->runJavaScript(QStringLiteral("(function(){var e=document.querySelector('%1');"
                                             "return e?e.textContent:'<none>';})()")
                                  .arg(selector),
                              [&](const QVariant& v) {
                                result = v.toString();
                                done = true;
                              });
  for (int i = 0; i < 500 && !done; ++i) QTest::qWait(10);
  return result;
}

}  // namespace

class HomeDaemonTest : public QObject {
  Q_OBJECT
 private:
  CFireWallApp* app_ = nullptr;
  pid_t daemon_ = -1;
  std::unique_ptr<qxfw::platform::NamedEventCreator> companion_;

  std::string RuntimeFolder() const { return g_folder + "/run"; }

  // The daemon in the foreground, filtering this namespace; true once its socket is there.
  bool StartDaemon() {
    const std::string socket = RuntimeFolder() + "/" + qxfw::firewall::kDeviceSocketName;
    std::vector<std::string> args = {QLTDIFW_PATH,    "--foreground",
                                     "--queue",       std::to_string(20000 + getpid() % 20000),
                                     "--runtime-dir", RuntimeFolder()};
    const std::string log = g_folder + "/daemon.log";
    daemon_ = fork();
    if (daemon_ == 0) {
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) dup2(fd, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 250; ++i) {
      struct stat st;
      if (stat(socket.c_str(), &st) == 0) return true;
      if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
        daemon_ = -1;
        return false;
      }
      QTest::qWait(20);
    }
    return false;
  }

  void StopDaemon() {
    if (daemon_ <= 0) return;
    kill(daemon_, SIGTERM);
    for (int i = 0; i < 250; ++i) {
      if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
        daemon_ = -1;
        return;
      }
      usleep(20000);
    }
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
  }

  CPageView* Home() {
    CPageView* view = app_->View(0);
    for (int i = 0; i < 1000 && !view->IsPageLoaded(); ++i) QTest::qWait(10);
    return view;
  }
  CTrayIcon* Tray() { return app_->MainFrame()->Tray(); }

 private slots:
  void initTestCase() {
    if (!g_isolated) QSKIP("needs root to make a network namespace of its own");
    QVERIFY2(StartDaemon(), "the filter daemon did not start");
    // The companion is there, so the program keeps its window however long the test runs.
    companion_ = qxfw::platform::NamedEventCreator::Create(kCompanionEventName,
                                                           qxfw::platform::EventScope::kUser);
    QVERIFY(companion_ != nullptr);
    app_ = new CFireWallApp;
    QVERIFY(app_->InitInstance("/e:on"));
    app_->ShowPage(0);
    QVERIFY(Home()->IsPageLoaded());
  }

  void theDaemonGoingAndComingBackShowsWithinTwoSeconds() {
    CPageView* home = Home();
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are protected"), 5000);
    QCOMPARE(Text(home, "#row-filter td span"),
             QStringLiteral("Attached, holding new connections"));
    QCOMPARE(Tray()->Look(), TrayLook::kProtected);

    StopDaemon();
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are not protected"),
                              2000);
    QTRY_COMPARE_WITH_TIMEOUT(Tray()->Look(), TrayLook::kNotProtected,
                              static_cast<int>(std::max<qint64>(1, 2000 - clock.elapsed())));
    QVERIFY2(clock.elapsed() <= 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(Text(home, "#row-filter td span"), QStringLiteral("Gone: it has stopped"));
    QVERIFY(Tray()->Tip().contains(QStringLiteral("You are not protected")));

    QVERIFY2(StartDaemon(), "the filter daemon did not start again");
    clock.restart();
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are protected"), 2000);
    QTRY_COMPARE_WITH_TIMEOUT(Tray()->Look(), TrayLook::kProtected,
                              static_cast<int>(std::max<qint64>(1, 2000 - clock.elapsed())));
    QVERIFY(Tray()->Tip().contains(QStringLiteral("You are protected")));
  }

  void cleanupTestCase() {
    if (app_ != nullptr) {
      app_->ExitInstance();
      delete app_;
    }
    StopDaemon();
  }
};

int main(int argc, char** argv) {
  // Root may filter a namespace of the test's own only; never the machine's.
  g_isolated = geteuid() == 0 && unshare(CLONE_NEWNET) == 0;
  qxfw::test_support::TempDir dir;
  g_folder = dir.path();
  setenv("QXFW_APPDATA", dir.path().c_str(), 1);
  setenv("QXFW_SYSTEM_DIR", (dir.path() + "/system").c_str(), 1);
  setenv(qxfw::firewall::kRuntimeDirVariable, (dir.path() + "/run").c_str(), 1);
  // The program's own events in a private folder of the test's, away from other programs.
  std::filesystem::create_directories(dir.path() + "/user");
  chmod((dir.path() + "/user").c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", (dir.path() + "/user").c_str(), 1);
  setenv("TMPDIR", dir.path().c_str(), 1);
  std::filesystem::create_directories(dir.path() + "/run");
  PrepareBrowser();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  HomeDaemonTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "home_daemon_test.moc"
