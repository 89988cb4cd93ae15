// CMainFrame: the program's main window: a borderless 530 x 420 frame with a rounded region,
// the page views stacked in its 510 x 400 browser area, and the notification-area icon.
//
// Closing only hides the window (it is minimised instead when the desktop has no notification
// area, so that it can come back); the rectangle is kept in the preferences. The frame runs
// the companion watchdog (timer 0): once the companion event has been gone for one period and
// no antivirus work is busy, it destroys itself, which ends the program (WindowDestroyed).
// User-interface thread only.
#pragma once

#include <QBasicTimer>
#include <QMainWindow>
#include <functional>

#include "shell/home_state.h"
#include "store/preferences.h"

class QStackedWidget;
class QMouseEvent;

namespace qxfw::shell {

class CTrayIcon;

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  struct Options {
    bool korean = false;
    bool turnOffVariant = false;
    // Whether the desktop has a notification area; queried when null.
    std::function<bool()> trayAvailable;
    // Whether the companion event exists now.
    std::function<bool()> companionPresent;
  };
  CMainFrame(store::CPreferences& preferences, Options options, QWidget* parent = nullptr);
  ~CMainFrame() override;

  QStackedWidget* PageStack() const { return stack_; }
  CTrayIcon* Tray() const { return tray_; }
  // 1 after creation, 2 once the watchdog has started closing.
  int State() const { return state_; }
  bool WatchdogArmed() const { return watchdogArmed_; }

  // First step of every poll tick: arms or disarms the watchdog.
  void CheckCompanion();
  // Tray and menu commands (32771 ...).
  void OnCommand(int id);
  // Shows, restores and raises the window and gives it the focus.
  void ShowAndRestore();
  // A left press in the browser area: a press near an edge becomes a border press, one in the
  // title band a caption press. True when the press was taken.
  bool PreTranslateMouse(QMouseEvent* event);
  // Ends the program's window for good.
  void DestroyWindow();
  // The tray icon's look and its tip (the program's version is added to it).
  void ShowState(TrayLook look, const QString& tip);

 signals:
  void PageRequested(int page);
  void StatusWindowRequested();
  void WindowDestroyed();
  // The window came on screen (true), or was hidden or minimised (false).
  void SeenChanged(bool seen);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  void StoreRect(bool onClose);
  void OnWatchdog();

  store::CPreferences& preferences_;
  Options options_;
  QStackedWidget* stack_;
  CTrayIcon* tray_ = nullptr;
  QBasicTimer watchdog_;
  bool watchdogArmed_ = false;
  bool destroying_ = false;
  bool shownOnce_ = false;
  int state_ = 0;
};

}  // namespace qxfw::shell
