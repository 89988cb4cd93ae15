// qxfw_page_shots OUTDIR PREFIX: starts the program's application object in this process,
// shows every page in turn and saves a PNG of the main window for each (used by
// scripts/screenshots.sh under Xvfb). More screens are added to kShots. The home page is taken
// in each of its states: without a filter daemon (the first picture), with a stand-in daemon
// attached, at level Off, with a connection waiting and after the daemon went away; and the
// tray icon in its three looks.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "firewall/fake_device.h"
#include "firewall/security_level.h"
#include "firewall/ui/ask_dialog.h"
#include "firewall/ui/security_options.h"
#include "monitor/ui/status_wnd.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/named_event.h"
#include "shell/last_scan.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"
#include "shell/ui/home_monitor.h"
#include "shell/ui/main_frame.h"
#include "shell/ui/page_view.h"
#include "shell/ui/tray_icon.h"
#include "store/db_manager.h"
#include "store/preferences.h"

using namespace qxfw::shell;

namespace {

struct Shot {
  const char* name;
  int page;
  const char* pageCommand;  // run on the page before the picture (empty: none)
};

constexpr Shot kShots[] = {
    {"home-unprotected", 0, ""}, {"network", 1, ""},
    {"program", 2, ""},          {"ipport", 3, ""},
    {"shared", 4, ""},           {"log", 5, ""},
    {"antivirus", 7, ""},        {"quarantine", 7, "cmdQuarantinePage"},
    {"help", 2, "help"},
};

void WaitLoaded(CPageView* view) {
  for (int i = 0; i < 1000 && !view->IsPageLoaded(); ++i) QTest::qWait(10);
  QTest::qWait(400);
}

}  // namespace

int main(int argc, char** argv) {
  PrepareBrowser();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: qxfw_page_shots OUTDIR PREFIX\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const QString prefix = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(out);
  // The stand-in daemon's socket goes to a folder of this run, never the machine's.
  const std::string runtime = QDir::tempPath().toStdString() + "/shots-run-" + prefix.toStdString();
  std::filesystem::create_directories(runtime);
  setenv(qxfw::firewall::kRuntimeDirVariable, runtime.c_str(), 1);
  // The companion is there, so the program keeps its window however long the pictures take.
  auto companion = qxfw::platform::NamedEventCreator::Create(kCompanionEventName,
                                                             qxfw::platform::EventScope::kUser);
  CFireWallApp app;
  if (!app.InitInstance("/e:on")) return 1;
  // Connections for the network page: a listener, one connection to it and a UDP endpoint.
  std::vector<qxfw::platform::UniqueFd> sockets;
  {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    qxfw::platform::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        listen(listener.Get(), 4) == 0 &&
        getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      qxfw::platform::UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (connect(client.Get(), reinterpret_cast<sockaddr*>(&address), size) == 0) {
        sockets.emplace_back(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        sockets.push_back(std::move(client));
      }
    }
    sockets.push_back(std::move(listener));
    qxfw::platform::UniqueFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    address.sin_port = htons(5353);
    if (bind(udp.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      sockets.push_back(std::move(udp));
    }
  }
  int saved = 0;
  for (const Shot& shot : kShots) {
    app.ShowPage(shot.page);
    CPageView* view = app.View(shot.page);
    WaitLoaded(view);
    if (QString(shot.pageCommand) == "help") {
      app.OpenHelp();
    } else if (shot.pageCommand[0] != '\0') {
      view->page()->runJavaScript(QStringLiteral("location.href='app:%1'").arg(shot.pageCommand));
      QTest::qWait(200);
      WaitLoaded(view);
    }
    QTest::qWait(300);
    CMainFrame* frame = app.MainFrame();
    QPixmap picture = frame->screen()->grabWindow(frame->winId());
    if (picture.isNull() || picture.width() < 10) picture = frame->grab();
    QString file = QStringLiteral("%1/%2-%3.png").arg(out, prefix, shot.name);
    if (picture.save(file)) ++saved;
    std::printf("%s\n", file.toLocal8Bit().constData());
  }

  // The home page with a daemon attached (and a scan on record), then at level Off.
  std::filesystem::create_directories(qxfw::platform::AntiVirusFolder());
  WriteLastScan(LastScanPath(), LastScanRecord{std::time(nullptr) - 3600, 1520, 0, 0});
  auto daemon = std::make_unique<qxfw::firewall::testing::FakeDevice>(runtime);
  app.ShowPage(0);
  auto homeShot = [&](const char* name, const std::function<bool(const HomeReport&)>& ready) {
    for (int i = 0; i < 500 && !ready(app.Home()->Report()); ++i) QTest::qWait(10);
    QTest::qWait(500);
    CMainFrame* frame = app.MainFrame();
    // The window as it draws itself (a prompt may stand over it on the screen), within its shape.
    const QRect shape = frame->mask().isEmpty() ? frame->rect() : frame->mask().boundingRect();
    QPixmap picture = frame->grab(shape);
    QString file = QStringLiteral("%1/%2-%3.png").arg(out, prefix, QLatin1String(name));
    if (picture.save(file)) ++saved;
    std::printf("%s\n", file.toLocal8Bit().constData());
  };
  homeShot("home-protected", [](const HomeReport& r) { return r.protectedNow; });
  qxfw::firewall::g_SecurityLevel = 1;
  homeShot("home-leveloff", [](const HomeReport& r) { return !r.problems.empty(); });
  qxfw::firewall::g_SecurityLevel = 3;
  for (int i = 0; i < 500 && !app.Home()->Report().protectedNow; ++i) QTest::qWait(10);
  // A connection held for the user's answer: a program no package vouches for, at Medium.
  const std::string unknown = runtime + "/unknown-sleep";
  std::filesystem::copy_file("/usr/bin/sleep", unknown,
                             std::filesystem::copy_options::overwrite_existing);
  QProcess held;
  held.start(QString::fromStdString(unknown), {QStringLiteral("60")});
  held.waitForStarted();
  qxfw::firewall::CNETWORK_REQUEST heldRequest{};
  heldRequest.requestHandle = 7;
  heldRequest.protocol = qxfw::firewall::kProtocolTcp;
  heldRequest.requestType = qxfw::firewall::kRequestTcpConnect;
  heldRequest.remoteAddress = htonl(0x5DB8D822);  // 93.184.216.34
  heldRequest.remotePort = htons(443);
  heldRequest.processId = static_cast<uint32_t>(held.processId());
  daemon->QueueRequest(heldRequest);
  homeShot("home-waiting", [](const HomeReport& r) { return r.tray == TrayLook::kWaiting; });
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* asked = qobject_cast<qxfw::firewall::CAskDialog*>(w)) {
      asked->OnCommand(qxfw::firewall::CAskDialog::kCommandBlock);
    }
  }
  held.kill();
  held.waitForFinished();
  // The daemon goes away.
  daemon.reset();
  homeShot("home-gone", [](const HomeReport& r) { return !r.protectedNow; });
  // The tray icon's three looks, as drawn at 64 pixels.
  CTrayIcon* tray = app.MainFrame()->Tray();
  const TrayLook shown = tray->Look();
  for (auto [look, name] : {std::pair{TrayLook::kProtected, "tray-protected"},
                            std::pair{TrayLook::kNotProtected, "tray-unprotected"},
                            std::pair{TrayLook::kWaiting, "tray-waiting"}}) {
    tray->SetLook(look);
    QString file = QStringLiteral("%1/%2-%3.png").arg(out, prefix, QLatin1String(name));
    if (tray->Icon()->icon().pixmap(64, 64).save(file)) ++saved;
    std::printf("%s\n", file.toLocal8Bit().constData());
  }
  tray->SetLook(shown);

  // The dialogs: the access prompt of a running program, collapsed and expanded, over the
  // main window, and the security level dialog.
  auto save = [&](QWidget* window, const char* name) {
    QTest::qWait(300);
    QPixmap picture = window->screen()->grabWindow(window->winId());
    if (picture.isNull() || picture.width() < 10) picture = window->grab();
    QString file = QStringLiteral("%1/%2-%3.png").arg(out, prefix, QLatin1String(name));
    if (picture.save(file)) ++saved;
    std::printf("%s\n", file.toLocal8Bit().constData());
  };
  QProcess sleeper;
  sleeper.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("60")});
  sleeper.waitForStarted();
  auto context = std::make_shared<qxfw::firewall::AskContext>();
  qxfw::store::CPreferences& preferences = qxfw::store::CPreferences::GetInstance();
  context->text = [&preferences](int id) { return QString::fromUtf8(preferences.GetText(id)); };
  context->korean = preferences.GetLanguage() == 1042;
  qxfw::firewall::CNETWORK_REQUEST request{};
  request.requestHandle = 1;
  request.protocol = 1;
  request.requestType = qxfw::firewall::kRequestTcpConnect;
  request.remoteAddress = htonl(0x5DB8D822);  // 93.184.216.34
  request.remotePort = htons(443);
  request.processId = static_cast<uint32_t>(sleeper.processId());
  auto* prompt = qxfw::firewall::CAskDialog::Open(context, request);
  save(prompt, "prompt");
  prompt->OnCommand(qxfw::firewall::CAskDialog::kToggle);
  save(prompt, "prompt-expanded");
  delete prompt;
  sleeper.kill();
  sleeper.waitForFinished();
  int level = 3;
  qxfw::firewall::CSecurityOptions options(qxfw::store::CDBManager::GetInstance(), level,
                                           context->text, app.PageFolder(), app.MainFrame());
  options.show();
  save(&options, "level");
  options.hide();

  // The status window with traffic: datagrams to a neighbour behind the script's veth pair
  // (nothing answers them; they count as sent bytes of the link).
  qxfw::platform::UniqueFd sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in neighbour{};
  neighbour.sin_family = AF_INET;
  neighbour.sin_addr.s_addr = htonl(0x0A630002);  // 10.99.0.2
  neighbour.sin_port = htons(9);
  QTimer traffic;
  int burst = 0;
  QObject::connect(&traffic, &QTimer::timeout, [&] {
    static const std::vector<char> payload(1200, 'x');
    int count = 2 + (burst++ * 7) % 12;
    for (int i = 0; i < count; ++i) {
      sendto(sender.Get(), payload.data(), payload.size(), MSG_DONTWAIT,
             reinterpret_cast<sockaddr*>(&neighbour), sizeof(neighbour));
    }
  });
  traffic.start(100);
  auto* status = qxfw::monitor::CStatusDlg::Open();
  QTest::qWait(12000);
  {
    QPixmap picture = status->grab();
    QString file = QStringLiteral("%1/%2-%3.png").arg(out, prefix, QStringLiteral("status"));
    if (picture.save(file)) ++saved;
    std::printf("%s\n", file.toLocal8Bit().constData());
  }
  status->close();
  traffic.stop();

  app.ExitInstance();
  std::filesystem::remove_all(runtime);
  return saved == static_cast<int>(std::size(kShots)) + 11 ? 0 : 1;
}
