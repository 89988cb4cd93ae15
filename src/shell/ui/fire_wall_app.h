// CFireWallApp: the firewall program's application object: start-up in its fixed order, the
// single instance, the pages and their lazy initialisation, page switching, the application
// messages and keys, and shutdown.
//
// It lives on the user-interface thread beside the QApplication and filters the application's
// events (keys and mouse presses of every window, like a message pre-translation). Other
// processes of the user reach it through the instance link: a second instance hands over its
// option text, qxfwctl its rule and level commands, which run here on the user-interface
// thread against the program's own store.
#pragma once

#include <QElapsedTimer>
#include <QFont>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "firewall/driver_host.h"
#include "firewall/request_poller.h"
#include "firewall/ui/ask_dialog.h"
#include "shell/command_line.h"

class QSocketNotifier;

namespace qxfw::platform {
class NamedEventCreator;
}
namespace qxfw::store {
class CDBManager;
class CPreferences;
}  // namespace qxfw::store

namespace qxfw::shell {

class CHomeMonitor;
class CInstanceLinkServer;
class CMainFrame;
class CPageView;

inline constexpr char kRunningEventName[] = "QXFW.exe Running Event";
inline constexpr char kCompanionEventName[] = "TalvoranFirewallRunning_ActiveX";
inline constexpr int kPageCount = 8;
// How long the main window stays out of sight before its pages are let go.
inline constexpr int kReleasePagesAfterMs = 30000;
// The pause between letting the pages go and returning the freed heap to the system.
inline constexpr int kTrimAfterReleaseMs = 3000;
// The pause before the next page is preloaded, so that user input comes first.
inline constexpr int kPreloadPauseMs = 100;

class CFireWallApp : public QObject, public firewall::CDriverHost {
  Q_OBJECT
 public:
  CFireWallApp();
  ~CFireWallApp() override;

  // Start-up; false when the process is to end (a second instance, or a failed step that
  // start-up cannot go on without). optionText: the arguments joined by blanks.
  bool InitInstance(const std::string& optionText);
  // Shutdown after the main window is gone.
  void ExitInstance();

  // Shows page index (above 7: 0); returns the view that was active before.
  CPageView* ShowPage(int index);
  int CurrentPage() const { return currentPage_; }
  CPageView* View(int index) const;
  bool PageInitialised(int index) const;
  bool AllPagesInitialised() const { return allInitialised_; }
  // True while the pages are let go because the window is out of sight.
  bool PagesReleased() const { return pagesReleased_; }
  // How long the window must stay out of sight before its pages go (tests shorten it).
  void SetPageReleaseDelay(int ms) { releaseTimer_.setInterval(ms); }
  CMainFrame* MainFrame() const;
  const std::string& PageFolder() const { return pageFolder_; }
  int SecurityLevel() const;
  const StartOptions& Options() const { return options_; }

  // Help for the current page (F1).
  void OpenHelp();
  // The poll handler (timer 5654): the companion check comes first.
  void OnPollTimer();
  // An "app:" address from a page, run as a command (called queued by the views).
  void OnAppUrl(CPageView* view, const QString& url);
  // A second instance's option text, handed over as it ends: its rules are stored, and
  // without a notification area the running window is shown again.
  void StoreHandedOverRules(const std::string& optionText);

  // The driver channel's host: its poll timer and posted messages.
  void SetPollTimer(int periodMs) override;
  void KillPollTimer() override;
  void PostPoll() override;
  void PostImageLoaded(uint32_t processId) override;

  // The security level dialog, modal over the main window ("app:Options").
  void RunSecurityOptions();
  // Re-reads the program and log pages when they have been initialised.
  void RefreshRulePages();
  // Lays the rule list of page 2, 3 or 4 over its page.
  void AttachPageList(int index);

  // What the home page and the tray icon say, kept up to date.
  CHomeMonitor* Home() const { return home_; }
  // A text by number: the string table (0-212) or the texts beside it (213 on).
  std::string TextOf(int number) const;

  // Fonts of the dialogs: Verdana 12, Verdana 12 bold, Verdana 14.
  const QFont& Font(int i) const { return fonts_[i]; }

 signals:
  // The rules or the level changed outside the screens (command line of a second instance,
  // qxfwctl); the views re-read them.
  void RulesChanged();
  // "app:Options": the security level dialog.
  void OptionsRequested();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;

 private:
  bool CheckSingleInstance();
  void CreateViews();
  void InitPage(int index);
  void OnIdle();
  void OnAntiVirusOn();
  void OnLinkReadable();
  std::string RunLinkCommand(const std::string& text, char* status);
  void SaveColumnWidths(CPageView* view);
  void StartHomeMonitor();
  void OnHomeReport();
  void OnFrameSeen(bool seen);
  void ReleasePages();
  // Loads the next page that is not loaded, one at a time, while the window is seen.
  void PreloadNext();
  bool FrameSeen() const;

  store::CPreferences* preferences_ = nullptr;
  store::CDBManager* db_ = nullptr;
  StartOptions options_;
  bool korean_ = false;
  bool trayVariant_ = false;
  firewall::CPendingRequests pending_;
  std::unique_ptr<firewall::CRequestPoller> poller_;
  std::shared_ptr<firewall::AskContext> askContext_;
  std::thread packageWarmer_;
  bool driverPolling_ = false;
  std::string pageFolder_;
  std::array<QPointer<CPageView>, kPageCount> views_{};
  std::array<bool, kPageCount> initialised_{};
  bool allInitialised_ = false;
  bool pagesReleased_ = false;
  int currentPage_ = 0;
  QPointer<CMainFrame> mainFrame_;
  CHomeMonitor* home_ = nullptr;
  std::unique_ptr<platform::NamedEventCreator> runningEvent_;
  std::unique_ptr<CInstanceLinkServer> link_;
  QSocketNotifier* linkNotifier_ = nullptr;
  QTimer idleTimer_;
  QTimer pollTimer_;
  QTimer releaseTimer_;
  QTimer preloadTimer_;
  // From a page's command to the page on screen (debug output).
  QElapsedTimer pageClock_;
  int timedPage_ = -1;
  std::array<QFont, 3> fonts_;
};

}  // namespace qxfw::shell
