// The network page's list over real loopback sockets this test opens: row texts and colours as
// connections come and go, the menu that holds the refresh and acts on the row it was opened
// for, ending a connection (the peer sees a reset) and a process (exactly the one shown).
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../../rules_ui/modal_driver.h"
#include "controls/mf_traffic_button.h"
#include "controls/qx_list_ctrl.h"
#include "monitor/loopback_sockets.h"
#include "monitor/running_child.h"
#include "monitor/ui/network_view.h"
#include "monitor/ui/status_wnd.h"
#include "monitor/ui/whois_record.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::monitor;
using namespace qxfw::rules_ui_test;
namespace ts = qxfw::test_support;
namespace platform = qxfw::platform;

namespace {

QString English(int id) {
  return QString::fromUtf8(qxfw::store::kEnglishStrings[id]);
}

QString PortText(uint16_t port) {
  return QString::asprintf("%5d", port);
}

// Row of the list whose local address column is text (and owner column starts with owner).
int RowWith(CNetworkList& view, const QString& local, const QString& owner = {}) {
  auto* list = view.List();
  for (int r = 0; r < list->GetItemCount(); ++r) {
    if (list->GetItemText(r, 1) == local &&
        (owner.isEmpty() || list->GetItemText(r, 0).startsWith(owner))) {
      return r;
    }
  }
  return -1;
}

// Refreshes and waits until the rows shown are those of the current options.
bool RefreshNow(CNetworkList& view) {
  QSignalSpy applied(&view, &CNetworkList::RowsApplied);
  view.Refresh();
  return QTest::qWaitFor([&] { return applied.count() > 0 && !view.RefreshRunning(); }, 5000);
}

// Runs with the context menu open: action(menu) once it is up, then the menu closes (after
// triggering the entry id when id != 0). Returns whether that entry was enabled.
bool WithMenu(CNetworkList& view, int id, std::function<void(QMenu*)> action = nullptr) {
  bool enabled = false;
  QTimer::singleShot(0, [&] {
    std::function<void()> poll;
    poll = [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) {
        QTimer::singleShot(10, poll);
        return;
      }
      if (action) action(menu);
      for (QAction* entry : menu->actions()) {
        if (entry->data().toInt() == id) {
          enabled = entry->isEnabled();
          entry->trigger();
        }
      }
      menu->close();
    };
    poll();
  });
  view.OpenContextMenu(QPoint(10, 10));
  return enabled;
}

// A WHOIS server on loopback: answers one query with answer after delayMs, then closes.
class WhoisServer {
 public:
  WhoisServer(std::string answer, int delayMs) : listener_(ts::TcpListener()) {
    port_ = ts::LocalPortOf(listener_.Get());
    thread_ = std::thread([this, answer, delayMs] {
      platform::UniqueFd peer = ts::TcpAccept(listener_.Get());
      if (!peer.Valid()) return;
      char buffer[256];
      ssize_t n = recv(peer.Get(), buffer, sizeof(buffer) - 1, 0);
      if (n > 0) query_.assign(buffer, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      if (!answer.empty()) send(peer.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    });
  }
  ~WhoisServer() {
    shutdown(listener_.Get(), SHUT_RDWR);
    thread_.join();
  }
  uint16_t Port() const { return port_; }
  const std::string& Query() const { return query_; }

 private:
  platform::UniqueFd listener_;
  uint16_t port_ = 0;
  std::string query_;
  std::thread thread_;
};

class WhoisRecordTest : public QObject {
  Q_OBJECT

 private slots:
  void showsTheServersAnswer() {
    WhoisServer server("NetRange: 10.0.0.0 - 10.255.255.255\nOrgName: Test Org\n", 0);
    CWhoisRecord dialog(English, QStringLiteral("10.1.2.3"), nullptr, "127.0.0.1", server.Port());
    QSignalSpy shown(&dialog, &CWhoisRecord::AnswerShown);
    dialog.show();
    QVERIFY(shown.wait(5000));
    QVERIFY(dialog.AnswerText().contains(QStringLiteral("OrgName: Test Org")));
    QCOMPARE(dialog.windowTitle(), English(175));
    QCOMPARE(QString::fromStdString(server.Query()), QStringLiteral("10.1.2.3 \r\n"));
  }

  void emptyAnswerSaysThereIsNoInformation() {
    WhoisServer server("", 0);
    CWhoisRecord dialog(English, QStringLiteral("10.1.2.3"), nullptr, "127.0.0.1", server.Port());
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    dialog.show();
    QVERIFY(QTest::qWaitFor([&] { return dialog.Answered(); }, 5000));
    QCOMPARE(seen.count, 1);
    QCOMPARE(seen.caption, English(175));
    QCOMPARE(seen.text, English(186));
    QCOMPARE(dialog.result(), 0);
    QVERIFY(!dialog.isVisible());
  }

  void closedBeforeTheAnswerLeavesNoWriter() {
    WhoisServer server("OrgName: Late\n", 400);
    {
      auto dialog = std::make_unique<CWhoisRecord>(English, QStringLiteral("10.1.2.3"), nullptr,
                                                   "127.0.0.1", server.Port());
      dialog->show();
      QTest::qWait(50);
    }
    // The answer comes after the dialog has gone; nothing may arrive anywhere.
    QTest::qWait(900);
    QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
            std::none_of(QApplication::topLevelWidgets().begin(),
                         QApplication::topLevelWidgets().end(),
                         [](QWidget* w) { return w->isVisible(); }));
  }
};

// The status window over a counters file the test writes.
class StatusWindowTest : public QObject {
  Q_OBJECT

 private:
  qxfw::test_support::TempDir dir_;

  std::string Dev() const { return dir_.path() + "/dev"; }
  std::string Sys() const { return dir_.path() + "/net"; }
  void Counters(uint64_t loBytes, uint64_t ethBytes) {
    auto line = [](const char* name, uint64_t received) {
      return std::string("  ") + name + ": " + std::to_string(received) +
             " 37 0 0 0 0 0 0 0 37 0 0 0 0 0 0\n";
    };
    std::ofstream(Dev(), std::ios::trunc)
        << "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n"
        << line("lo", loBytes) << line("eth0", ethBytes);
  }
  CStatusDlg* OpenOverFile() {
    return CStatusDlg::Open(std::make_unique<MFNetTraffic>(Dev(), Sys()));
  }

 private slots:
  void initTestCase() { std::filesystem::create_directories(Sys()); }

  void rateTextSingleInstanceAndCounterReset() {
    Counters(1000, 50000);
    QPointer<CStatusDlg> window = OpenOverFile();
    QVERIFY(window);
    QCOMPARE(window->SampledInterface(), 1);  // lo is not network traffic
    QCOMPARE(window->windowTitle(), QStringLiteral("Monitoring Network Traffic..."));
    QCOMPARE(window->size(), QSize(268, 100));
    QCOMPARE(OpenOverFile(), window.data());
    QCOMPARE(OpenOverFile(), window.data());

    Counters(900000, 50000 + 1536);  // loopback traffic is not counted
    window->Traffic()->Sample();
    QCOMPARE(window->Traffic()->CurrentText(), QStringLiteral("1.5 KB/sec"));
    Counters(900000, 10);  // the counter was reset
    window->Traffic()->Sample();
    QCOMPARE(window->Traffic()->CurrentText(), QStringLiteral("0.0 KB/sec"));
    Counters(900000, 10 + 2048);
    window->Traffic()->Sample();
    QCOMPARE(window->Traffic()->CurrentText(), QStringLiteral("2.0 KB/sec"));
    std::filesystem::remove(Dev());  // unreadable counters: no traffic
    window->Traffic()->Sample();
    QCOMPARE(window->Traffic()->CurrentText(), QStringLiteral("0.0 KB/sec"));

    QTest::keyClick(window.data(), Qt::Key_Escape);
    QTest::keyClick(window.data(), Qt::Key_Return);
    QVERIFY(window->isVisible());
    auto* close = window->findChild<QAbstractButton*>(QString::number(CStatusDlg::kClose));
    QVERIFY(close != nullptr);
    close->click();
    QVERIFY(QTest::qWaitFor([&] { return window.isNull(); }, 2000));
    QVERIFY(CStatusDlg::Current() == nullptr);
    Counters(0, 0);
    QPointer<CStatusDlg> again = OpenOverFile();
    QVERIFY(again);
    QVERIFY(again->isVisible());
    again->close();
    QVERIFY(QTest::qWaitFor([&] { return again.isNull(); }, 2000));
  }
};

class NetworkViewTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QWidget> host_;
  std::unique_ptr<CNetworkList> view_;
  QString self_;

  CNetworkList& View() { return *view_; }

 private slots:
  void init() {
    host_ = std::make_unique<QWidget>();
    host_->resize(520, 400);
    // The timer is left slow: each test refreshes when it wants to.
    view_ = std::make_unique<CNetworkList>(host_.get(), English, nullptr, false, 600000);
    host_->show();
    QVERIFY(QTest::qWaitForWindowExposed(host_.get()));
    QVERIFY(View().RefreshesApplied() >= 1 || RefreshNow(View()));
    CProcessList processes;
    self_ = QString::fromStdString(processes.NameOf(getpid()).value_or("?")) + ":" +
            QString::number(getpid());
  }
  void cleanup() {
    view_.reset();
    host_.reset();
  }

  void listenerRowAndColoursOfNewAndClosedConnections() {
    ts::LoopbackConnection connection = ts::ConnectLoopback();
    QVERIFY(connection.Valid());
    // A fresh list: the first refresh fills it without colours.
    view_.reset();
    view_ = std::make_unique<CNetworkList>(host_.get(), English, nullptr, false, 600000);
    QVERIFY(View().RefreshesApplied() >= 1 || RefreshNow(View()));
    auto* list = View().List();
    QString listenText = "127.0.0.1:" + PortText(connection.serverPort);
    int row = RowWith(View(), listenText, self_);
    QVERIFY(row >= 0);
    QCOMPARE(list->GetItemText(row, 0), self_);
    QCOMPARE(list->GetItemText(row, 2), QStringLiteral("*:*"));
    QCOMPARE(list->GetItemText(row, 3), QStringLiteral("TCP"));
    QCOMPARE(list->GetItemText(row, 4), QStringLiteral("Listen"));
    QCOMPARE(list->BkColorOf(row), QColor(Qt::white));

    platform::UniqueFd client = ts::TcpConnect(connection.serverPort);
    QVERIFY(client.Valid());
    uint16_t clientPort = ts::LocalPortOf(client.Get());
    platform::UniqueFd server = ts::TcpAccept(connection.listener.Get());
    QVERIFY(RefreshNow(View()));
    QString clientText = "127.0.0.1:" + PortText(clientPort);
    row = RowWith(View(), clientText, self_);
    QVERIFY(row >= 0);
    QCOMPARE(list->GetItemText(row, 2), listenText);
    QCOMPARE(list->GetItemText(row, 4), QStringLiteral("Established"));
    QCOMPARE(list->BkColorOf(row), QColor(0x8A, 0xFE, 0x2F));
    QVERIFY(RefreshNow(View()));
    QCOMPARE(list->BkColorOf(RowWith(View(), clientText, self_)), QColor(Qt::white));

    client.Reset();
    server.Reset();
    QVERIFY(RefreshNow(View()));
    row = RowWith(View(), clientText, self_);
    QVERIFY(row >= 0);
    QCOMPARE(list->BkColorOf(row), QColor(0xF5, 0x0E, 0x0E));
    QCOMPARE(list->TextColorOf(row), QColor(Qt::white));
    QVERIFY(RefreshNow(View()));
    QCOMPARE(RowWith(View(), clientText, self_), -1);
  }

  void selectionFollowsTheConnection() {
    platform::UniqueFd listener = ts::TcpListener();
    QVERIFY(listener.Valid());
    View().SortBy(1);  // local address, descending
    QVERIFY(RefreshNow(View()));
    QString text = "127.0.0.1:" + PortText(ts::LocalPortOf(listener.Get()));
    int row = RowWith(View(), text, self_);
    QVERIFY(row >= 0);
    View().List()->SelectRow(row);
    // A listener on 127.0.0.2 sorts before every 127.0.0.1 row.
    platform::UniqueFd other(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = ts::LoopbackAddress(0);
    address.sin_addr.s_addr = htonl(0x7F000002);
    QVERIFY(bind(other.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
    QVERIFY(listen(other.Get(), 4) == 0);
    QVERIFY(RefreshNow(View()));
    int now = RowWith(View(), text, self_);
    QVERIFY(now > row);
    QCOMPARE(View().List()->GetSelectedRow(), now);
  }

  void menuHeldOpenAcrossARefreshChangesNothing() {
    platform::UniqueFd listener = ts::TcpListener();
    QVERIFY(RefreshNow(View()));
    QString text = "127.0.0.1:" + PortText(ts::LocalPortOf(listener.Get()));
    int row = RowWith(View(), text, self_);
    QVERIFY(row >= 0);
    View().List()->SelectRow(row);
    int applied = View().RefreshesApplied();
    int countBefore = View().List()->GetItemCount();
    int seenApplied = -1;
    int seenCount = -1;
    int seenSelected = -1;
    WithMenu(View(), 0, [&](QMenu*) {
      listener.Reset();  // the row's connection goes away while the menu is open
      View().Refresh();
      QTest::qWait(600);
      seenApplied = View().RefreshesApplied();
      seenCount = View().List()->GetItemCount();
      seenSelected = View().List()->GetSelectedRow();
    });
    QCOMPARE(seenApplied, applied);
    QCOMPARE(seenCount, countBefore);
    QCOMPARE(seenSelected, row);
  }

  void connectionOffWithYesResetsThePeer() {
    ts::LoopbackConnection connection = ts::ConnectLoopback();
    QVERIFY(connection.Valid());
    QVERIFY(RefreshNow(View()));
    int row = RowWith(View(), "127.0.0.1:" + PortText(connection.clientPort), self_);
    QVERIFY(row >= 0);
    View().List()->SelectRow(row);
    SeenMessage seen;
    AnswerMessage(QMessageBox::No, &seen);
    QVERIFY(WithMenu(View(), CNetworkList::kMenuConnectionOff));
    QCOMPARE(seen.count, 1);
    QCOMPARE(seen.caption, English(188));
    QCOMPARE(seen.text, English(191));
    QTest::qWait(200);
    char byte = 0;
    QCOMPARE(recv(connection.server.Get(), &byte, 1, MSG_DONTWAIT), ssize_t(-1));
    QCOMPARE(errno, EAGAIN);

    AnswerMessage(QMessageBox::Yes, &seen);
    QVERIFY(WithMenu(View(), CNetworkList::kMenuConnectionOff));
    QCOMPARE(seen.count, 2);
    bool reset = ts::WaitFor([&] {
      return recv(connection.server.Get(), &byte, 1, MSG_DONTWAIT) == -1 && errno == ECONNRESET;
    });
    QVERIFY(reset);
  }

  void processOffEndsExactlyTheShownProcess() {
    // A sleep that holds a listener of its own, so that it has a row.
    platform::UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));  // inherited by the child
    sockaddr_in address = ts::LoopbackAddress(0);
    QVERIFY(bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
    QVERIFY(listen(listener.Get(), 4) == 0);
    uint16_t port = ts::LocalPortOf(listener.Get());
    ts::RunningChild child("/bin/sleep");
    listener.Reset();
    QVERIFY(child.Running());
    QVERIFY(RefreshNow(View()));
    QString owner = "sleep:" + QString::number(child.pid());
    int row = RowWith(View(), "127.0.0.1:" + PortText(port), owner);
    QVERIFY(row >= 0);
    View().List()->SelectRow(row);

    SeenMessage seen;
    AnswerMessage(QMessageBox::No, &seen);
    QVERIFY(WithMenu(View(), CNetworkList::kMenuProcessOff));
    QCOMPARE(seen.caption, English(187));
    QCOMPARE(seen.text, English(191));
    QTest::qWait(100);
    QVERIFY(child.Running());

    AnswerMessage(QMessageBox::Yes, &seen);
    QVERIFY(WithMenu(View(), CNetworkList::kMenuProcessOff));
    QCOMPARE(seen.count, 2);
    QVERIFY(ts::WaitFor([&] { return !child.Running(); }));
  }

  void udpRowHasNoConnectionOff() {
    platform::UniqueFd udp = ts::BoundSocket(SOCK_DGRAM, 0);
    QVERIFY(udp.Valid());
    QVERIFY(RefreshNow(View()));
    int row = RowWith(View(), "127.0.0.1:" + PortText(ts::LocalPortOf(udp.Get())), self_);
    QVERIFY(row >= 0);
    QCOMPARE(View().List()->GetItemText(row, 2), QStringLiteral("*:*"));
    QCOMPARE(View().List()->GetItemText(row, 3), QStringLiteral("UDP"));
    View().List()->SelectRow(row);
    QVERIFY(!WithMenu(View(), CNetworkList::kMenuConnectionOff));
  }

  void protocolTogglesAndStatusFilter() {
    platform::UniqueFd udp = ts::BoundSocket(SOCK_DGRAM, 0);
    platform::UniqueFd tcp = ts::TcpListener();
    QString udpText = "127.0.0.1:" + PortText(ts::LocalPortOf(udp.Get()));
    QString tcpText = "127.0.0.1:" + PortText(ts::LocalPortOf(tcp.Get()));
    QVERIFY(!View().StatusBox()->isEnabled());
    View().UdpBox()->click();  // TCP alone
    QVERIFY(View().StatusBox()->isEnabled());
    QVERIFY(RefreshNow(View()));
    QCOMPARE(RowWith(View(), udpText, self_), -1);
    QVERIFY(RowWith(View(), tcpText, self_) >= 0);
    View().TcpBox()->click();  // TCP off while UDP is off: UDP alone
    QVERIFY(!View().TcpBox()->isChecked());
    QVERIFY(View().UdpBox()->isChecked());
    QVERIFY(!View().StatusBox()->isEnabled());
    QVERIFY(RefreshNow(View()));
    QVERIFY(RowWith(View(), udpText, self_) >= 0);
    QCOMPARE(RowWith(View(), tcpText, self_), -1);
    View().TcpBox()->click();
    View().UdpBox()->click();  // TCP alone again; filter "Established" hides the listener
    View().SetStatusFilter(2);
    QVERIFY(RefreshNow(View()));
    QCOMPARE(RowWith(View(), tcpText, self_), -1);
    for (int r = 0; r < View().List()->GetItemCount(); ++r) {
      QCOMPARE(View().List()->GetItemText(r, 4), QStringLiteral("Established"));
    }
    // Port type ascending: TCP rows before UDP rows.
    View().SetStatusFilter(0);
    View().UdpBox()->click();
    View().SortBy(3);  // descending
    View().SortBy(3);  // ascending
    QVERIFY(RefreshNow(View()));
    bool seenUdp = false;
    for (int r = 0; r < View().List()->GetItemCount(); ++r) {
      bool isUdp = View().List()->GetItemText(r, 3) == "UDP";
      QVERIFY(!(seenUdp && !isUdp));
      seenUdp = seenUdp || isUdp;
    }
    QVERIFY(seenUdp);
  }
};

}  // namespace

int RunLogViewTests(int argc, char** argv);

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failed = RunLogViewTests(argc, argv);
  {
    NetworkViewTest view;
    failed += QTest::qExec(&view, argc, argv);
  }
  {
    StatusWindowTest status;
    failed += QTest::qExec(&status, argc, argv);
  }
  {
    WhoisRecordTest whois;
    failed += QTest::qExec(&whois, argc, argv);
  }
  return failed;
}
#include "network_view_test.moc"
