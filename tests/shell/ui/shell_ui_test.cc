// The windowed program in this process: pages switched by app: commands and keys, help, the
// antivirus element, closing, the tray menus and the companion watchdog. Drives the real
// windows and browser views (offscreen).
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "controls/mac_slider_ctrl.h"
#include "controls/qx_list_ctrl.h"
#include "ctl/program_link.h"
#include "firewall/ui/security_options.h"
#include "shell/av_state.h"
#include "shell/ui/app_events.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"
#include "shell/ui/main_frame.h"
#include "shell/ui/page_view.h"
#include "shell/ui/tray_icon.h"
#include "store/preferences.h"
#include "test_support/temp_dir.h"

using namespace qxfw::shell;

namespace {

// Runs a script in a view and returns its result as text.
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

QWidget* KeyTarget(CPageView* view) {
  return view->focusProxy() != nullptr ? view->focusProxy() : view;
}

}  // namespace

class ShellUiTest : public QObject {
  Q_OBJECT
 private:
  CFireWallApp* app_ = nullptr;
  CPageView* Loaded(int page) {
    CPageView* view = app_->View(page);
    if (view == nullptr) return nullptr;
    for (int i = 0; i < 1000 && !view->IsPageLoaded(); ++i) QTest::qWait(10);
    return view;
  }

 private slots:
  void initTestCase() {
    app_ = new CFireWallApp;
    // The antivirus part starts off, so 0x8011 has something to turn on.
    QVERIFY(app_->InitInstance("/e:on /a:off"));
    QVERIFY(app_->MainFrame()->isVisible());
    QVERIFY(Loaded(0) != nullptr && Loaded(0)->IsPageLoaded());
  }

  // The rule pages carry their lists, and a rule that qxfwctl adds through the running program
  // shows in the program list without a refresh key.
  void ruleListsFollowQxfwctl() {
    app_->ShowPage(2);
    auto* list = qobject_cast<qxfw::controls::CQXListCtrl*>(app_->View(2)->ListControl());
    QVERIFY(list != nullptr);
    // Over the page's room for it (inside its border), and not covered by the browser.
    CPageView* page = Loaded(2);
    const QStringList box =
        Evaluate(page, QStringLiteral("(function(){var r=document.getElementById('listroom')"
                                      ".getBoundingClientRect();return [r.left,r.top,r.width,"
                                      "r.height].join(',');})()"))
            .split(QLatin1Char(','));
    QCOMPARE(box.size(), 4);
    const QRect room(qRound(box[0].toDouble()) + 1, qRound(box[1].toDouble()) + 1,
                     qRound(box[2].toDouble()) - 2, qRound(box[3].toDouble()) - 2);
    QTRY_COMPARE(list->geometry(), room);
    QVERIFY(list->isVisible());
    QWidget* atMiddle = page->childAt(room.center());
    QVERIFY(atMiddle == list || list->isAncestorOf(atMiddle));
    QCOMPARE(list->ColumnCount(), 3);
    QVERIFY(app_->View(3) != nullptr);
    app_->ShowPage(3);
    QCOMPARE(app_->View(3)->ListControl()->header()->count(), 6);
    QVERIFY(!list->isVisible());
    app_->ShowPage(2);
    const QString path = QStringLiteral("/usr/bin/qxfw-view-test-%1").arg(getpid());
    auto hasRow = [list, &path] {
      for (int row = 0; row < list->GetItemCount(); ++row) {
        if (list->GetItemText(row, 1) == path) return true;
      }
      return false;
    };
    QVERIFY(!hasRow());
    // What qxfwctl does when the program holds the rule file, from a thread of its own so this
    // thread can serve the link.
    auto forward = [](std::vector<std::string> words) {
      auto status = std::make_shared<std::atomic<int>>(-1);
      std::thread([words, status] {
        std::ostringstream out, err;
        status->store(qxfw::ctl::ForwardToProgram(words, "not answered", out, err));
      }).detach();
      return status;
    };
    auto added = forward({"rules", "add-program", "allow", path.toStdString()});
    QTRY_VERIFY_WITH_TIMEOUT(added->load() >= 0, 15000);
    QCOMPARE(added->load(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(hasRow(), 5000);
    auto deleted = forward({"rules", "delete-program", path.toStdString()});
    QTRY_VERIFY_WITH_TIMEOUT(deleted->load() >= 0, 15000);
    QCOMPARE(deleted->load(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!hasRow(), 5000);
    app_->ShowPage(0);
  }

  void frameGeometryAndRegion() {
    CMainFrame* frame = app_->MainFrame();
    QCOMPARE(frame->size(), QSize(530, 420));
    QCOMPARE(frame->minimumSize(), frame->maximumSize());
    QCOMPARE(frame->pos(), QPoint(100, 100));
    QCOMPARE(frame->PageStack()->size(), QSize(510, 400));
    QVERIFY(frame->windowFlags() & Qt::FramelessWindowHint);
    // The corners are cut by the rounded region, the middle is inside it.
    QVERIFY(!frame->mask().contains(QPoint(1, 0)));
    QVERIFY(frame->mask().contains(QPoint(250, 200)));
    QVERIFY(!frame->mask().contains(QPoint(520, 410)));
  }

  void appCommandsSwitchPages() {
    app_->ShowPage(0);
    Loaded(0)->page()->runJavaScript(QStringLiteral("location.href='app:ip&port'"));
    QTRY_COMPARE(app_->CurrentPage(), 3);
    QCOMPARE(app_->MainFrame()->PageStack()->currentWidget(), app_->View(3));
    // Help has no view: nothing changes.
    Loaded(3)->page()->runJavaScript(QStringLiteral("location.href='app:Help'"));
    QTest::qWait(300);
    QCOMPARE(app_->CurrentPage(), 3);
    // A click on a navigation link of the page itself.
    Loaded(3)->page()->runJavaScript(
        QStringLiteral("document.querySelector('#nav a[href=\"app:Log\"]').click()"));
    QTRY_COMPARE(app_->CurrentPage(), 5);
    Loaded(5)->page()->runJavaScript(QStringLiteral("location.href='APP:HOME'"));
    QTRY_COMPARE(app_->CurrentPage(), 0);
    // The app: address never loaded: the home page is still shown.
    QVERIFY(Loaded(0)->url().toString().endsWith(QStringLiteral("/en/home.html")));
  }

  void optionsOpensTheSecurityLevelDialogOverTheWindow() {
    app_->ShowPage(0);
    CPageView* view = Loaded(0);
    int sliderAt = 0;
    QWidget* owner = nullptr;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      auto* dialog =
          qobject_cast<qxfw::firewall::CSecurityOptions*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      sliderAt = dialog->Slider()->value();
      owner = dialog->parentWidget();
      QTest::keyClick(dialog, Qt::Key_Escape);
    });
    poll.start(20);
    view->page()->runJavaScript(
        QStringLiteral("document.querySelector('#nav a[href=\"app:Options\"]').click()"));
    QTRY_VERIFY(sliderAt != 0);
    QCOMPARE(sliderAt, 5 - app_->SecurityLevel());
    QCOMPARE(owner, static_cast<QWidget*>(app_->MainFrame()));
    QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
  }

  void otherAddressesNavigate() {
    app_->ShowPage(4);
    CPageView* view = Loaded(4);
    QSignalSpy appUrls(view, &CPageView::AppUrl);
    view->page()->runJavaScript(QStringLiteral("location.href='http://127.0.0.1:9/x'"));
    QTRY_COMPARE(view->url().toString(), QStringLiteral("http://127.0.0.1:9/x"));
    QCOMPARE(appUrls.count(), 0);
    view->InitialUpdate(app_->PageFolder(), false);
    QTRY_VERIFY(view->url().toString().endsWith(QStringLiteral("shared.html")));
  }

  void keysSwitchPagesEverywhere() {
    app_->ShowPage(0);
    QTest::keyClick(KeyTarget(app_->View(0)), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(app_->CurrentPage(), 1);
    app_->ShowPage(5);
    // Page 6 has no view: the key changes nothing and nothing breaks.
    QTest::keyClick(KeyTarget(app_->View(5)), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(app_->CurrentPage(), 5);
    QVERIFY(app_->ShowPage(6) == app_->View(5));
    QCOMPARE(app_->CurrentPage(), 5);
    app_->ShowPage(0);
    QTest::keyClick(KeyTarget(app_->View(0)), Qt::Key_Backtab,
                    Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(app_->CurrentPage(), 7);
    QTest::keyClick(KeyTarget(app_->View(7)), Qt::Key_Backtab,
                    Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(app_->CurrentPage(), 5);
    // The keys work from the frame too, not only from the browser.
    QTest::keyClick(app_->MainFrame(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(app_->CurrentPage(), 4);
    // An index past 7 shows the home page.
    app_->ShowPage(42);
    QCOMPARE(app_->CurrentPage(), 0);
  }

  void networkTimerRunsOnlyOnItsPage() {
    app_->ShowPage(1);
    QVERIFY(app_->View(1)->Timer0Active());
    app_->ShowPage(2);
    QVERIFY(!app_->View(1)->Timer0Active());
  }

  void helpOpensTheHelpWindowOfThePage() {
    app_->ShowPage(1);
    CPageView* view = Loaded(1);
    QTest::keyClick(KeyTarget(view), Qt::Key_F1);
    QTRY_COMPARE(Evaluate(view, QStringLiteral("document.getElementById('helpwin').style.display")),
                 QStringLiteral("block"));
    QCOMPARE(Evaluate(view, QStringLiteral("document.getElementById('helpwin').dataset.topic")),
             QStringLiteral("network"));
    // The home page has no help part: F1 does nothing there.
    app_->ShowPage(0);
    QTest::keyClick(KeyTarget(app_->View(0)), Qt::Key_F1);
    QTest::qWait(200);
    QCOMPARE(
        Evaluate(Loaded(0), QStringLiteral("document.getElementById('helpwin').style.display")),
        QString());
  }

  void idleInitialisesOnePageAtATime() {
    QTRY_VERIFY_WITH_TIMEOUT(app_->AllPagesInitialised(), 10000);
    for (int i : {0, 1, 2, 3, 4, 5}) QVERIFY(app_->PageInitialised(i));
  }

  void antivirusMessageShowsTheElement() {
    // Option a:off: the antivirus page waits and its link is hidden.
    QVERIFY(!g_bAntiVirusEnabled);
    app_->ShowPage(2);
    QTRY_COMPARE(
        Evaluate(Loaded(2), QStringLiteral("document.getElementById('vorpex').style.visibility")),
        QStringLiteral("hidden"));
    QCoreApplication::postEvent(app_, new QEvent(kAntiVirusOnEvent));
    QTRY_VERIFY(g_bAntiVirusEnabled);
    QVERIFY(app_->PageInitialised(7));
    for (int page : {0, 2, 5}) {
      app_->ShowPage(page);
      QTRY_COMPARE(Evaluate(Loaded(page),
                            QStringLiteral("document.getElementById('vorpex').style.visibility")),
                   QStringLiteral("visible"));
    }
  }

  void antivirusPageModes() {
    app_->ShowPage(7);
    CPageView* view = Loaded(7);
    view->page()->runJavaScript(QStringLiteral("location.href='app:cmdQuarantinePage'"));
    QTRY_VERIFY(view->url().toString().endsWith(QStringLiteral("av_quarantine.html")));
    QCOMPARE(app_->CurrentPage(), 7);
    QTRY_VERIFY(view->IsPageLoaded());
    view->page()->runJavaScript(QStringLiteral("location.href='app:cmdScanPage'"));
    QTRY_VERIFY(view->url().toString().endsWith(QStringLiteral("vorpex.html")));
  }

  void trayMenuVariants() {
    struct Case {
      bool variant, korean;
      const char* name;
      const char* firstItem;
    };
    for (const Case& c :
         {Case{false, false, "494", "Talvoran Firewall"},
          Case{true, false, "495", "Talvoran Firewall"}, Case{false, true, "155", "탈보란 방화벽"},
          Case{true, true, "461", "탈보란 방화벽"}}) {
      std::unique_ptr<QMenu> menu(BuildTrayMenu(c.variant, c.korean, nullptr));
      QCOMPARE(menu->objectName(), QString::fromLatin1(c.name));
      QVERIFY(menu->defaultAction() != nullptr);
      QCOMPARE(menu->defaultAction()->objectName(), QStringLiteral("cmd32771"));
      QCOMPARE(menu->defaultAction()->text(), QString::fromUtf8(c.firstItem));
      QCOMPARE(menu->findChild<QAction*>(QStringLiteral("cmd32772")) != nullptr, c.variant);
      for (int id : {32785, 32786, 32787, 32788, 32789, 32790, 32793}) {
        QVERIFY2(menu->findChild<QAction*>(QStringLiteral("cmd%1").arg(id)) != nullptr,
                 qPrintable(QString::number(id)));
      }
    }
  }

  void trayCommandsShowPages() {
    QMenu* menu = app_->MainFrame()->Tray()->Menu();
    QCOMPARE(menu->objectName(), QStringLiteral("495"));
    struct Step {
      int id, page;
    };
    for (Step s : {Step{32785, 5}, Step{32790, 7}, Step{32786, 1}, Step{32787, 2}, Step{32788, 3},
                   Step{32789, 4}}) {
      app_->MainFrame()->showMinimized();
      menu->findChild<QAction*>(QStringLiteral("cmd%1").arg(s.id))->trigger();
      QCOMPARE(app_->CurrentPage(), s.page);
      QVERIFY(!app_->MainFrame()->isMinimized());
    }
  }

  void closeMinimisesWithoutANotificationArea() {
    CMainFrame* frame = app_->MainFrame();
    frame->ShowAndRestore();
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    frame->close();
    // Not hidden: with no icon to bring it back, the window stays reachable.
    QVERIFY(frame->isVisible());
    const qxfw::store::WindowRect& r = qxfw::store::CPreferences::GetInstance().GetWindowRect();
    QCOMPARE(r.left, 100);
    QCOMPARE(r.top, 100);
    QCOMPARE(r.right, 630);
    QCOMPARE(r.bottom, 520);
    // Starting the program again brings the running window back.
    frame->showMinimized();
    QTRY_VERIFY(frame->isMinimized());
    app_->StoreHandedOverRules("");
    QTRY_VERIFY(!frame->isMinimized());
    QVERIFY(frame->isVisible());
  }

  void closeHidesWithANotificationArea() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CPreferences preferences(dir.path());
    CMainFrame::Options options;
    options.turnOffVariant = true;
    options.trayAvailable = [] { return true; };
    CMainFrame frame(preferences, options);
    QSignalSpy destroyed(&frame, &CMainFrame::WindowDestroyed);
    frame.show();
    frame.close();
    QVERIFY(!frame.isVisible());
    QCOMPARE(destroyed.count(), 0);
    QCOMPARE(preferences.GetWindowRect().right, 630);
    emit frame.Tray()->DoubleClicked();
    QVERIFY(frame.isVisible());
    QVERIFY(!frame.isMinimized());
    // "Turn off" ends the window at once.
    frame.Tray()->Menu()->findChild<QAction*>(QStringLiteral("cmd32772"))->trigger();
    QCOMPARE(destroyed.count(), 1);
    QVERIFY(!frame.isVisible());
  }

  void watchdogWaitsForAntivirusWorkThenEnds() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CPreferences preferences(dir.path());
    bool present = true;
    CMainFrame::Options options;
    options.companionPresent = [&] { return present; };
    CMainFrame frame(preferences, options);
    QSignalSpy destroyed(&frame, &CMainFrame::WindowDestroyed);
    frame.CheckCompanion();
    QVERIFY(!frame.WatchdogArmed());
    present = false;
    frame.CheckCompanion();
    QVERIFY(frame.WatchdogArmed());
    g_bAVScanRunning = 1;
    QTest::qWait(10600);
    QCOMPARE(frame.State(), 2);
    QCOMPARE(destroyed.count(), 0);
    g_bAVScanRunning = 2;
    QTRY_COMPARE_WITH_TIMEOUT(destroyed.count(), 1, 11000);
    g_bAVScanRunning = 0;
  }

  void watchdogDisarmsWhenTheCompanionReturns() {
    qxfw::test_support::TempDir dir;
    qxfw::store::CPreferences preferences(dir.path());
    bool present = false;
    CMainFrame::Options options;
    options.companionPresent = [&] { return present; };
    CMainFrame frame(preferences, options);
    QSignalSpy destroyed(&frame, &CMainFrame::WindowDestroyed);
    frame.CheckCompanion();
    QVERIFY(frame.WatchdogArmed());
    present = true;
    frame.CheckCompanion();
    QVERIFY(!frame.WatchdogArmed());
    QTest::qWait(10400);
    QCOMPARE(destroyed.count(), 0);
    QCOMPARE(frame.State(), 1);
  }

  void cleanupTestCase() {
    app_->ExitInstance();
    delete app_;
  }
};

int main(int argc, char** argv) {
  qxfw::test_support::TempDir dir;
  setenv("QXFW_APPDATA", dir.path().c_str(), 1);
  setenv("QXFW_SYSTEM_DIR", (dir.path() + "/system").c_str(), 1);
  setenv("TMPDIR", dir.path().c_str(), 1);
  PrepareBrowser();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  ShellUiTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "shell_ui_test.moc"
