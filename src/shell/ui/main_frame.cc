#include "shell/ui/main_frame.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPainterPath>
#include <QRegion>
#include <QShowEvent>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QThread>
#include <QWindow>

#include "platform/debug_output.h"
#include "shell/av_state.h"
#include "shell/ui/app_events.h"
#include "shell/ui/tray_icon.h"

namespace qxfw::shell {
namespace {

using platform::DebugOutput;

constexpr int kWidth = 530;
constexpr int kHeight = 420;
constexpr int kClientWidth = 510;
constexpr int kClientHeight = 400;
constexpr int kEdge = 5;
constexpr int kTitleBand = 26;
constexpr int kTitleButtons = 120;
constexpr store::WindowRect kFallbackRect{100, 100, 640, 350};

QString VersionText() {
  return QStringLiteral("%1.%2.%3.0")
      .arg(QXFW_VERSION_MAJOR)
      .arg(QXFW_VERSION_MINOR)
      .arg(QXFW_VERSION_PATCH);
}

}  // namespace

CMainFrame::CMainFrame(store::CPreferences& preferences, Options options, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::FramelessWindowHint),
      preferences_(preferences),
      options_(std::move(options)),
      stack_(new QStackedWidget(this)) {
  setObjectName(QStringLiteral("mainFrame"));
  setAccessibleName(QStringLiteral("Talvoran Firewall"));
  setWindowTitle(QStringLiteral("Talvoran Firewall"));
  setWindowIcon(QIcon(QStringLiteral(":/qxfw/app.svg")));
  if (!options_.trayAvailable)
    options_.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

  // Korean pages were laid out one pixel further right on the systems the layout came from;
  // keep the offset so both page sets line up with the region.
  const int x = options_.korean ? 2 : 1;
  DebugOutput(options_.korean ? "[QXFW.exe] Not Vista && Korean"
                              : "[QXFW.exe] Not Vista && English");
  stack_->setObjectName(QStringLiteral("pageStack"));
  stack_->setAccessibleName(QStringLiteral("Pages"));
  stack_->setGeometry(x, 0, kClientWidth, kClientHeight);
  QWidget* holder = new QWidget(this);
  holder->setObjectName(QStringLiteral("clientArea"));
  holder->setAccessibleName(QStringLiteral("Talvoran Firewall"));
  setCentralWidget(holder);
  stack_->setParent(holder);
  stack_->setGeometry(x, 0, kClientWidth, kClientHeight);

  QPainterPath path;
  path.addRoundedRect(QRectF(x, 0, 511, 401), 4.5, 4.5);
  setMask(QRegion(path.toFillPolygon().toPolygon()));

  tray_ = new CTrayIcon(options_.turnOffVariant, options_.korean, this);
  tray_->SetTip(QStringLiteral("Talvoran Firewall\nVersion : %1").arg(VersionText()));
  connect(tray_, &CTrayIcon::Command, this, &CMainFrame::OnCommand);
  connect(tray_, &CTrayIcon::DoubleClicked, this, &CMainFrame::ShowAndRestore);

  setFixedSize(kWidth, kHeight);
  move(100, 100);
  state_ = 1;
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::ShowState(TrayLook look, const QString& tip) {
  tray_->SetLook(look);
  tray_->SetTip(QStringLiteral("%1\nVersion : %2").arg(tip, VersionText()));
}

void CMainFrame::ShowAndRestore() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  if (QWidget* page = stack_->currentWidget()) page->setFocus();
}

void CMainFrame::OnCommand(int id) {
  switch (id) {
    case kCmdShowMain:
      ShowAndRestore();
      return;
    case kCmdNetworkGraph:
      emit StatusWindowRequested();
      return;
    case kCmdTurnOff:
      DestroyWindow();
      return;
    default:
      break;
  }
  int page = id == kCmdLogView          ? 5
             : id == kCmdVirusScan      ? 7
             : id == kCmdNetworkSetting ? 1
             : id == kCmdProgramSetting ? 2
             : id == kCmdIpPortSetting  ? 3
             : id == kCmdShareSetting   ? 4
                                        : -1;
  if (page < 0) return;
  ShowAndRestore();
  emit PageRequested(page);
}

void CMainFrame::StoreRect(bool onClose) {
  if (isMaximized()) return;
  if (!onClose && isMinimized()) return;
  QRect r = frameGeometry();
  store::WindowRect rect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  if (rect.left <= 0 || rect.top <= 0 || rect.right <= 0 || rect.bottom <= 0) rect = kFallbackRect;
  preferences_.SetWindowRect(rect);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (destroying_) {
    event->accept();
    return;
  }
  event->ignore();
  StoreRect(true);
  if (options_.trayAvailable()) {
    showMinimized();
    hide();
  } else {
    // Without a notification area a hidden window could never be brought back.
    showMinimized();
  }
}

void CMainFrame::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!shownOnce_) {
    shownOnce_ = true;
    DebugOutput("[QXFW.exe] CMainFrame shown");
  }
  emit SeenChanged(!isMinimized());
}

void CMainFrame::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  emit SeenChanged(false);
}

void CMainFrame::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) emit SeenChanged(isVisible() && !isMinimized());
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (isVisible()) StoreRect(false);
}

void CMainFrame::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  if (isVisible()) StoreRect(false);
}

bool CMainFrame::PreTranslateMouse(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || windowHandle() == nullptr) return false;
  QPoint p = stack_->mapFromGlobal(event->globalPosition().toPoint());
  const int w = stack_->width();
  const int h = stack_->height();
  if (p.x() < 0 || p.y() < 0 || p.x() >= w || p.y() >= h) return false;
  Qt::Edges edges;
  if (p.x() < kEdge) edges |= Qt::LeftEdge;
  if (p.x() >= w - kEdge) edges |= Qt::RightEdge;
  if (p.y() < kEdge) edges |= Qt::TopEdge;
  if (p.y() >= h - kEdge) edges |= Qt::BottomEdge;
  if (edges) {
    windowHandle()->startSystemResize(edges);
    return true;
  }
  if (p.y() < kTitleBand && p.x() < w - kTitleButtons) {
    windowHandle()->startSystemMove();
    return true;
  }
  return false;
}

void CMainFrame::CheckCompanion() {
  if (options_.companionPresent && options_.companionPresent()) {
    watchdogArmed_ = false;
    watchdog_.stop();
    return;
  }
  if (!watchdogArmed_) {
    watchdogArmed_ = true;
    watchdog_.start(kWatchdogIntervalMs, this);
  }
}

void CMainFrame::timerEvent(QTimerEvent* event) {
  if (event->timerId() == watchdog_.timerId()) {
    OnWatchdog();
    return;
  }
  QMainWindow::timerEvent(event);
}

void CMainFrame::OnWatchdog() {
  if (options_.companionPresent && options_.companionPresent()) return;
  const int u = g_bUpdating.load(), i = g_bInitEngine.load(), s = g_bAVScanRunning.load();
  DebugOutput("[QXFW.exe] CMainFrame::OnTimer hRunningEvent == NULL U:%d, I:%d, S:%d", u, i, s);
  state_ = 2;
  if (u != 1 && i != 1 && s != 1) {
    DebugOutput("[QXFW.exe] CMainFrame::OnTimer Kill WAIT U:%d, I:%d, S:%d => DestroyWindow()", u,
                i, s);
    watchdog_.stop();
    DestroyWindow();
    return;
  }
  DebugOutput("[QXFW.exe] CMainFrame::OnTimer Kill WAIT U:%d, I:%d, S:%d", u, i, s);
  QThread::msleep(100);
}

void CMainFrame::DestroyWindow() {
  if (destroying_) return;
  destroying_ = true;
  watchdog_.stop();
  StoreRect(true);
  close();
  emit WindowDestroyed();
}

}  // namespace qxfw::shell
