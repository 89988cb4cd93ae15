// The home page and the tray icon tell the program's real state: without a filter daemon the
// page says what is not protected and why, and its button runs the installer (a double of the
// command runner here, which brings a stand-in daemon up); with the daemon attached it says
// protected; level Off, a held connection, the daemon going away and a finished scan all
// show within a second. Drives the real windows and browser views (offscreen).
#include <arpa/inet.h>
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QWebEnginePage>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "ctl/program_link.h"
#include "firewall/fake_device.h"
#include "firewall/security_level.h"
#include "firewall/ui/ask_dialog.h"
#include "platform/folders.h"
#include "platform/named_event.h"
#include "shell/last_scan.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"
#include "shell/ui/home_monitor.h"
#include "shell/ui/main_frame.h"
#include "shell/ui/page_view.h"
#include "shell/ui/tray_icon.h"
#include "test_support/temp_dir.h"

using namespace qxfw::shell;
using qxfw::firewall::testing::FakeDevice;

namespace {

QString Evaluate(CPageView* view, const QString& script) {
  QString result = QStringLiteral("<no answer>");
  bool done = false;
  view->page()->runJavaScript(script, [&](const QVariant& v) {
    result = v.toString();
    done = true;
  });
  for (int i = 0; i < 500 && !done; ++i) QTest::qWait(10);
  return result;
}

QString Text(CPageView* view, const QString& selector) {
  return Evaluate(view, QStringLiteral("(function(){var e=document.querySelector('%1');"
                                       "return e?e.textContent:'<none>';})()")
                            .arg(selector));
}

std::string g_folder;  // the test's temporary folder

// The browser's helper processes this process started (renderers; zygotes when there are).
int BrowserHelpers() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...: comm may hold blanks, so read after its last ')'.
    const size_t close = line.rfind(')');
    const size_t open = line.find('(');
    if (close == std::string::npos || open == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == getpid() && line.compare(open + 1, 15, "QtWebEngineProc") == 0) ++count;
  }
  return count;
}

}  // namespace

class HomePageTest : public QObject {
  Q_OBJECT
 private:
  CFireWallApp* app_ = nullptr;
  std::mutex mutex_;
  std::vector<std::vector<std::string>> ran_;
  std::unique_ptr<FakeDevice> daemon_;
  QProcess sleeper_;
  std::unique_ptr<qxfw::platform::NamedEventCreator> companion_;

  CPageView* Home() {
    CPageView* view = app_->View(0);
    for (int i = 0; i < 1000 && !view->IsPageLoaded(); ++i) QTest::qWait(10);
    return view;
  }
  CTrayIcon* Tray() { return app_->MainFrame()->Tray(); }
  std::string RuntimeFolder() { return g_folder + "/run"; }
  // What qxfwctl does while the program holds the rule file, from a thread of its own so this
  // thread serves the link; the command's exit status.
  int Run(std::vector<std::string> words) {
    auto status = std::make_shared<std::atomic<int>>(-1);
    std::thread([words = std::move(words), status] {
      std::ostringstream out, err;
      status->store(qxfw::ctl::ForwardToProgram(words, "not answered", out, err));
    }).detach();
    for (int i = 0; i < 1500 && status->load() < 0; ++i) QTest::qWait(10);
    return status->load();
  }

 private slots:
  void initTestCase() {
    // The companion is there, so the program keeps its window however long the test runs.
    companion_ = qxfw::platform::NamedEventCreator::Create(kCompanionEventName,
                                                           qxfw::platform::EventScope::kUser);
    QVERIFY(companion_ != nullptr);
    app_ = new CFireWallApp;
    QVERIFY(app_->InitInstance("/e:on"));
    app_->ShowPage(0);
    QVERIFY(Home()->IsPageLoaded());
  }

  void withoutADaemonThePageSaysNotProtectedAndWhy() {
    CPageView* home = Home();
    QTRY_COMPARE(Text(home, "#headline"), QStringLiteral("You are not protected"));
    QCOMPARE(Text(home, "#problem0 .text"),
             QStringLiteral("New connections are not checked: the filter is not started."));
    QCOMPARE(Text(home, "#fix-cmdStartDriver"), QStringLiteral("Start the filter"));
    QCOMPARE(Text(home, "#row-filter td span"), QStringLiteral("Not started"));
    QCOMPARE(Evaluate(home, "document.body.dataset.state"), QStringLiteral("unprotected"));
    QVERIFY(!Text(home, "#content").contains(QStringLiteral("You are protected")));
    QCOMPARE(Tray()->Look(), TrayLook::kNotProtected);
    QVERIFY2(Tray()->Tip().startsWith(
                 QStringLiteral("Talvoran Firewall\nYou are not protected\nFilter: Not started")),
             qPrintable(Tray()->Tip()));
  }

  void everyControlHasANameAndAnAccessibleName() {
    CPageView* home = Home();
    // Links and buttons of the page's content carry an id and an accessible name.
    QCOMPARE(Evaluate(home,
                      "Array.from(document.querySelectorAll('#content a'))"
                      ".filter(function(a){return !a.id||!a.getAttribute('aria-label');})"
                      ".length"),
             QStringLiteral("0"));
    QVERIFY(Evaluate(home, "document.querySelectorAll('#content a').length").toInt() >= 2);
    for (int page : {0, 1, 2, 3, 4, 5, 7}) {
      CPageView* view = app_->View(page);
      QVERIFY(!view->objectName().isEmpty());
      QVERIFY(!view->accessibleName().isEmpty());
    }
    QVERIFY(!app_->MainFrame()->accessibleName().isEmpty());
    QVERIFY(!Tray()->objectName().isEmpty());
  }

  void theStartButtonRunsTheInstallerAndTheDaemonIsAttached() {
    // The installer must be there to be started; the runner double starts the stand-in daemon.
    const std::string setup = g_folder + "/system/qxfwsetup";
    std::filesystem::create_directories(g_folder + "/system");
    { std::ofstream(setup) << "#!/bin/sh\nexit 0\n"; }
    std::filesystem::permissions(setup, std::filesystem::perms::owner_all);
    app_->Home()->SetRunner([this](const std::vector<std::string>& argv) {
      std::lock_guard<std::mutex> lock(mutex_);
      ran_.push_back(argv);
      daemon_ = std::make_unique<FakeDevice>(RuntimeFolder());
      return 0;
    });
    CPageView* home = Home();
    home->page()->runJavaScript(
        QStringLiteral("document.getElementById('fix-cmdStartDriver').click()"));
    QTRY_VERIFY([this] {
      std::lock_guard<std::mutex> lock(mutex_);
      return ran_.size() == 1;
    }());
    std::vector<std::string> expected;
    if (geteuid() != 0) expected.push_back("pkexec");
    expected.push_back(setup);
    expected.push_back("/StartDriver");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      QCOMPARE(ran_[0], expected);
    }
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are protected"), 2000);
    QCOMPARE(Text(home, "#row-filter td span"),
             QStringLiteral("Attached, holding new connections"));
    QCOMPARE(Evaluate(home, "document.getElementById('problems').children.length"),
             QStringLiteral("0"));
    QCOMPARE(Tray()->Look(), TrayLook::kProtected);
    QVERIFY(Tray()->Tip().startsWith(QStringLiteral("Talvoran Firewall\nYou are protected")));
  }

  // qxfwctl changes the level and the rules through the running program; the page and the
  // tray follow within a second of its answer.
  void levelOffIsNotProtected() {
    CPageView* home = Home();
    QCOMPARE(Run({"level", "set", "1"}), 0);
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are not protected"),
                              1000);
    QVERIFY2(clock.elapsed() <= 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(qxfw::firewall::g_SecurityLevel, 1);
    QCOMPARE(Text(home, "#problem0 .text"),
             QStringLiteral(
                 "Connections that no rule decides pass unasked: the security level is Off."));
    QCOMPARE(Evaluate(home, "document.getElementById('fix-Options').getAttribute('href')"),
             QStringLiteral("app:Options"));
    QCOMPARE(Text(home, "#row-level td span"), QStringLiteral("Off"));
    QCOMPARE(Tray()->Look(), TrayLook::kNotProtected);
    QVERIFY(Tray()->Tip().contains(QStringLiteral("Security Level: Off")));
    QCOMPARE(Run({"level", "set", "3"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are protected"), 1000);
    QCOMPARE(Text(home, "#row-level td span"), QStringLiteral("Medium"));
    QCOMPARE(Tray()->Look(), TrayLook::kProtected);

    const QString programs = Text(home, "#row-programRules td span");
    const QString ports = Text(home, "#row-portRules td span");
    const std::string path = "/usr/bin/qxfw-home-test-" + std::to_string(getpid());
    QCOMPARE(Run({"rules", "add-program", "allow", path}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-programRules td span"),
                              QString::number(programs.toInt() + 1), 1000);
    QCOMPARE(Run({"rules", "add-portip", "0", "6000", "6010", "10.9.8.7", "10.9.8.7", "1",
                  "home test", "1"}),
             0);
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-portRules td span"),
                              QString::number(ports.toInt() + 1), 1000);
    QCOMPARE(Run({"rules", "delete-program", path}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-programRules td span"), programs, 1000);
  }

  void aHeldConnectionRaisesTheWaitingCountAndTheTrayLook() {
    // A program no package vouches for: at Medium it is put to the user.
    const std::string program = g_folder + "/unsigned-sleep";
    std::filesystem::copy_file("/usr/bin/sleep", program);
    sleeper_.start(QString::fromStdString(program), {QStringLiteral("60")});
    QVERIFY(sleeper_.waitForStarted());
    qxfw::firewall::CNETWORK_REQUEST request{};
    request.requestHandle = 9;
    request.protocol = qxfw::firewall::kProtocolTcp;
    request.requestType = qxfw::firewall::kRequestTcpConnect;
    request.remoteAddress = htonl(0xC0000201);
    request.remotePort = htons(443);
    request.processId = static_cast<uint32_t>(sleeper_.processId());
    daemon_->QueueRequest(request);
    CPageView* home = Home();
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-waiting td span"), QStringLiteral("1"), 3000);
    QCOMPARE(Tray()->Look(), TrayLook::kWaiting);
    QVERIFY2(Tray()->Tip().contains(QStringLiteral("Waiting for your answer: 1")),
             qPrintable(Tray()->Tip()));
    QCOMPARE(Text(home, "#headline"), QStringLiteral("You are protected"));
    // The answer ends the wait.
    qxfw::firewall::CAskDialog* prompt = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* d = qobject_cast<qxfw::firewall::CAskDialog*>(w)) prompt = d;
    }
    QVERIFY(prompt != nullptr);
    prompt->OnCommand(qxfw::firewall::CAskDialog::kCommandBlock);
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-waiting td span"), QStringLiteral("0"), 1000);
    QCOMPARE(Tray()->Look(), TrayLook::kProtected);
    QVERIFY(!daemon_->VerdictsWhen(1).empty());
    sleeper_.kill();
    sleeper_.waitForFinished();
  }

  void aScansEndUpdatesTheLastScanLine() {
    CPageView* home = Home();
    QCOMPARE(Text(home, "#row-lastScan td span"), QStringLiteral("Never"));
    std::filesystem::create_directories(qxfw::platform::AntiVirusFolder());
    LastScanRecord record{std::time(nullptr), 12, 0, 0};
    QVERIFY(WriteLastScan(LastScanPath(), record));
    const QString when = QString::fromStdString(LocalDateText(record.finished, true));
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-lastScan td span"),
                              when + QStringLiteral(": no virus found, files scanned: 12"), 1500);
    record.infected = 2;
    QVERIFY(WriteLastScan(LastScanPath(), record));
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#row-lastScan td span"),
                              when + QStringLiteral(": infected files: 2, files scanned: 12"),
                              1500);
    QCOMPARE(Evaluate(home, "document.querySelector('#row-lastScan td').className"),
             QStringLiteral("value warn"));
  }

  void aDaemonThatGoesAwayIsNamed() {
    CPageView* home = Home();
    daemon_.reset();
    QTRY_COMPARE_WITH_TIMEOUT(Text(home, "#headline"), QStringLiteral("You are not protected"),
                              2000);
    QCOMPARE(Text(home, "#row-filter td span"), QStringLiteral("Gone: it has stopped"));
    QCOMPARE(Text(home, "#problem0 .text"),
             QStringLiteral("New connections are not checked: the filter has stopped."));
    QCOMPARE(Tray()->Look(), TrayLook::kNotProtected);
  }

  // While the window is seen every page is loaded, one after another, so a click finds its
  // page ready; out of sight for long, the pages go (and with them the renderer) and nothing
  // loads until the window is seen again.
  void pagesLoadWhileTheWindowIsSeenAndGoWhileItIsOutOfSight() {
    auto loaded = [this] {
      int count = 0;
      for (int page : {0, 1, 2, 3, 4, 5}) count += app_->View(page)->IsPageLoaded() ? 1 : 0;
      return count;
    };
    QTRY_COMPARE_WITH_TIMEOUT(loaded(), 6, 15000);
    // All pages are one site: one renderer serves them.
    QCOMPARE(BrowserHelpers(), 1);
    QElapsedTimer clock;
    clock.start();
    app_->ShowPage(3);
    QVERIFY(app_->View(3)->IsPageLoaded());
    QVERIFY(clock.elapsed() < 150);
    app_->ShowPage(0);

    app_->SetPageReleaseDelay(300);
    CMainFrame* frame = app_->MainFrame();
    frame->hide();
    QTest::qWait(100);
    QVERIFY(!app_->PagesReleased());
    QTRY_VERIFY_WITH_TIMEOUT(app_->PagesReleased(), 2000);
    QCOMPARE(loaded(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(BrowserHelpers(), 0, 3000);
    QTest::qWait(1000);
    QCOMPARE(loaded(), 0);
    QCOMPARE(BrowserHelpers(), 0);
    // The state changes while the pages are gone; shown again, the home page comes back with
    // the state of now.
    qxfw::firewall::g_SecurityLevel = 1;
    QTest::qWait(2 * CHomeMonitor::kTickMs);
    frame->ShowAndRestore();
    QVERIFY(!app_->PagesReleased());
    QTRY_VERIFY_WITH_TIMEOUT(app_->View(0)->IsPageLoaded(), 5000);
    QTRY_COMPARE(Text(Home(), "#row-level td span"), QStringLiteral("Off"));
    QCOMPARE(Text(Home(), "#row-filter td span"), QStringLiteral("Gone: it has stopped"));
    qxfw::firewall::g_SecurityLevel = 3;
    QTRY_COMPARE(Text(Home(), "#row-level td span"), QStringLiteral("Medium"));
    QTRY_COMPARE_WITH_TIMEOUT(loaded(), 6, 15000);
    // A minimised window counts as out of sight too. A page that is told to show another
    // file while it is let go shows that file when it is back.
    CPageView* antivirus = app_->View(7);
    app_->ShowPage(7);
    QTRY_VERIFY_WITH_TIMEOUT(antivirus->IsPageLoaded(), 5000);
    QVERIFY(antivirus->url().toString().endsWith(QStringLiteral("vorpex.html")));
    app_->ShowPage(0);
    frame->showMinimized();
    QTRY_VERIFY_WITH_TIMEOUT(app_->PagesReleased(), 2000);
    QCOMPARE(loaded(), 0);
    QVERIFY(!antivirus->IsPageLoaded());
    antivirus->OnPageCommand(QStringLiteral("cmdQuarantinePage"));
    frame->ShowAndRestore();
    QTRY_VERIFY_WITH_TIMEOUT(app_->View(0)->IsPageLoaded(), 5000);
    QTRY_COMPARE(Text(Home(), "#row-level td span"), QStringLiteral("Medium"));
    app_->ShowPage(7);
    QTRY_VERIFY_WITH_TIMEOUT(antivirus->IsPageLoaded(), 5000);
    QTRY_VERIFY(antivirus->url().toString().endsWith(QStringLiteral("av_quarantine.html")));
    app_->ShowPage(0);
    app_->SetPageReleaseDelay(kReleasePagesAfterMs);
  }

  void cleanupTestCase() {
    app_->ExitInstance();
    delete app_;
  }
};

int main(int argc, char** argv) {
  qxfw::test_support::TempDir dir;
  g_folder = dir.path();
  setenv("QXFW_APPDATA", dir.path().c_str(), 1);
  setenv("QXFW_SYSTEM_DIR", (dir.path() + "/system").c_str(), 1);
  setenv("QXFW_RUNTIME_DIR", (dir.path() + "/run").c_str(), 1);
  setenv("TMPDIR", dir.path().c_str(), 1);
  std::filesystem::create_directories(dir.path() + "/run");
  PrepareBrowser();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  HomePageTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "home_page_test.moc"
