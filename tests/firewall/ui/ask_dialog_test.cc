// The network access prompt on the real road of a request: a stand-in of the filter device
// injects requests, the driver channel fetches and decides them (level High: nothing is
// decided without the user), the poll opens the prompt, and the test answers it with the
// mouse. The requesting process is a real child process (sleep), so the prompt looks up a real
// program.
#include "firewall/ui/ask_dialog.h"

#include <arpa/inet.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>

#include "firewall/device.h"
#include "firewall/driver_host.h"
#include "firewall/firewall_driver.h"
#include "firewall/request_poller.h"
#include "firewall/security_level.h"
#include "shell/debug.h"
#include "store/db_manager.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::firewall;
using qxfw::store::CDBManager;
using qxfw::store::tagFIREWALL_PROGRAM;
using qxfw::store::tagPOLICY_TABLE;

namespace {

// The filter device as the test plays it: requests queued by the test, verdicts recorded.
struct DeviceScript {
  std::deque<CNETWORK_REQUEST> requests;
  std::vector<tagVERDICT> verdicts;
};

class InjectingDevice : public CDevice {
 public:
  explicit InjectingDevice(std::shared_ptr<DeviceScript> script) : script_(std::move(script)) {}
  uint32_t Call(uint32_t code, const void* input, uint32_t inputLength, void* output,
                uint32_t outputSize, uint32_t* bytesReturned) override {
    *bytesReturned = 0;
    if (code == IOCTL_GET_NETWORK_REQUEST) {
      if (script_->requests.empty() || outputSize < sizeof(CNETWORK_REQUEST)) return ERROR_NO_DATA;
      std::memcpy(output, &script_->requests.front(), sizeof(CNETWORK_REQUEST));
      script_->requests.pop_front();
      *bytesReturned = sizeof(CNETWORK_REQUEST);
      return 0;
    }
    if (code == IOCTL_SET_VERDICT && inputLength == sizeof(tagVERDICT)) {
      tagVERDICT verdict;
      std::memcpy(&verdict, input, sizeof(verdict));
      script_->verdicts.push_back(verdict);
    }
    return code == IOCTL_GET_IMAGE_LOAD ? ERROR_NO_DATA : 0;
  }

 private:
  std::shared_ptr<DeviceScript> script_;
};

class IdleHost : public CDriverHost {
 public:
  void SetPollTimer(int) override {}
  void KillPollTimer() override {}
  void PostPoll() override {}
  void PostImageLoaded(uint32_t) override {}
};

CNETWORK_REQUEST Request(uint32_t handle, uint32_t pid, uint32_t address, uint16_t port,
                         uint8_t protocol = kProtocolTcp) {
  CNETWORK_REQUEST r{};
  r.requestHandle = handle;
  r.protocol = protocol;
  r.requestType = protocol == kProtocolTcp ? kRequestTcpConnect : kRequestUdpSend;
  r.remoteAddress = htonl(address);
  r.remotePort = htons(port);
  r.localAddress = htonl(0x0A000002);
  r.localPort = htons(40000 + static_cast<uint16_t>(handle));
  r.processId = pid;
  return r;
}

constexpr uint32_t kSmtpHost = 0x0A000005;  // 10.0.0.5
constexpr uint32_t kWebHost = 0x0A000006;   // 10.0.0.6

QString ReadAll(const std::string& file) {
  QFile f(QString::fromStdString(file));
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace

class AskDialogTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<qxfw::test_support::TempDir> dir_;
  std::unique_ptr<CDBManager> db_;
  std::shared_ptr<DeviceScript> script_;
  std::unique_ptr<CFirewallDriver> driver_;
  CPendingRequests pending_;
  std::unique_ptr<CRequestPoller> poller_;
  std::shared_ptr<AskContext> context_;
  IdleHost host_;
  QProcess child_;
  uint32_t pid_ = 0;
  int level_ = kLevelHigh;
  int refreshes_ = 0;
  // When set, the prompt sees this instead of the real process.
  std::function<PromptProcess(uint32_t)> lookUpOverride_;

  // Queues the requests and runs one poll tick for each.
  void Inject(std::initializer_list<CNETWORK_REQUEST> requests) {
    for (const CNETWORK_REQUEST& r : requests) script_->requests.push_back(r);
    for (size_t i = 0; i < requests.size(); ++i) poller_->OnPollTimer();
    QApplication::processEvents();
  }
  CAskDialog* OnlyPrompt() {
    auto prompts = CAskDialog::OpenPrompts();
    return prompts.size() == 1 ? prompts.front() : nullptr;
  }
  // Press and release over a drawn button of the prompt.
  static void Click(CAskDialog* prompt, int button) {
    QPoint centre = prompt->ButtonRect(button).center();
    QTest::mouseMove(prompt, centre);
    QTest::mousePress(prompt, Qt::LeftButton, {}, centre);
    QTest::mouseRelease(prompt, Qt::LeftButton, {}, centre);
  }
  static void Check(CAskDialog* prompt, int box) {
    prompt->OnCommand(CAskDialog::kToggle);
    static_cast<QAbstractButton*>(prompt->Control(box))->setChecked(true);
  }
  std::vector<std::pair<uint32_t, uint32_t>> Verdicts() const {
    std::vector<std::pair<uint32_t, uint32_t>> v;
    for (const tagVERDICT& verdict : script_->verdicts)
      v.push_back({verdict.requestHandle, verdict.verdict});
    return v;
  }
  bool FindRule(const std::string& path, tagFIREWALL_PROGRAM* rule) {
    bool found = false;
    db_->Select(CDBManager::kSelectRuleFile);
    while (!found && db_->Select(CDBManager::kSelectProgram) && db_->GetProgram(rule)) {
      found = path == rule->path;
    }
    db_->Select(CDBManager::kSelectRuleFile);
    return found;
  }
  int RuleCount() {
    int count = 0;
    tagFIREWALL_PROGRAM rule;
    db_->Select(CDBManager::kSelectRuleFile);
    while (db_->Select(CDBManager::kSelectProgram) && db_->GetProgram(&rule)) ++count;
    db_->Select(CDBManager::kSelectRuleFile);
    return count;
  }
  tagPOLICY_TABLE TableOf(const tagFIREWALL_PROGRAM& rule) {
    tagPOLICY_TABLE table{};
    if (rule.policySlot > 0) db_->GetPolicy(&table, static_cast<uint32_t>(rule.policySlot));
    return table;
  }
  std::string EventLog() const { return dir_->path() + "/events/QXFW.log"; }

 private slots:
  void initTestCase() {
    static qxfw::test_support::TempDir debugDir;
    qxfw::shell::CDebug::Create(debugDir.path());
    child_.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("300")});
    QVERIFY(child_.waitForStarted());
    pid_ = static_cast<uint32_t>(child_.processId());
  }
  void cleanupTestCase() {
    child_.kill();
    child_.waitForFinished();
  }

  void init() {
    dir_ = std::make_unique<qxfw::test_support::TempDir>();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QVERIFY(db_->IsRuleFileOpen());
    script_ = std::make_shared<DeviceScript>();
    CFirewallDriver::Options options;
    options.openDevice = [script = script_]() -> std::unique_ptr<CDevice> {
      return std::make_unique<InjectingDevice>(script);
    };
    options.isSigned = [](const RequestProgram&) { return false; };
    options.level = &level_;
    options.ownProcessId = 1;
    driver_ = std::make_unique<CFirewallDriver>(*db_, std::move(options));
    driver_->Init(&host_, {});
    QVERIFY(driver_->IsOpen());
    context_ = std::make_shared<AskContext>();
    context_->store = db_.get();
    context_->pending = &pending_;
    context_->sendVerdict = [this](const CNETWORK_REQUEST& r, uint32_t v) {
      driver_->SendVerdict(r, v);
    };
    context_->text = [](int id) { return QString::fromUtf8(qxfw::store::kEnglishStrings[id]); };
    context_->refreshPages = [this] { ++refreshes_; };
    context_->lookUp = [this](uint32_t pid) {
      return lookUpOverride_ ? lookUpOverride_(pid) : PromptProcessOf(pid);
    };
    context_->eventLogFolder = dir_->path() + "/events";
    poller_ = std::make_unique<CRequestPoller>(
        *driver_, pending_, [this](const CNETWORK_REQUEST& r) { CAskDialog::Open(context_, r); });
    refreshes_ = 0;
    lookUpOverride_ = nullptr;
  }
  void cleanup() {
    for (CAskDialog* prompt : CAskDialog::OpenPrompts()) delete prompt;
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    poller_.reset();
    while (!pending_.Empty())
      pending_.Remove(pending_.FindProcess(pending_.Entries().front().processId));
    driver_->Release();
    driver_.reset();
    context_.reset();
    db_.reset();
    dir_.reset();
  }

  void promptShowsTheProgramAndTheConnection() {
    Inject({Request(1, pid_, kSmtpHost, 25)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    QVERIFY(prompt->isVisible());
    QVERIFY(prompt->parentWidget() == nullptr);
    QCOMPARE(prompt->ControlText(CAskDialog::kName), QStringLiteral("sleep(%1)").arg(pid_));
    QCOMPARE(prompt->ControlText(CAskDialog::kRemote), QStringLiteral("10.0.0.5:smtp (25)"));
    QCOMPARE(prompt->ControlText(CAskDialog::kRequest),
             QString::fromUtf8(qxfw::store::kEnglishStrings[52]));
    QCOMPARE(prompt->ControlText(CAskDialog::kPath), QStringLiteral("/usr/bin/sleep"));
    QCOMPARE(prompt->ControlText(CAskDialog::kPathLabel), QStringLiteral("Path"));
    // The package that installed the program describes it, shortly after the prompt is up.
    QTRY_VERIFY(prompt->ProgramFactsShown());
    QVERIFY(!prompt->ControlText(CAskDialog::kDescription).isEmpty());
    QVERIFY(!prompt->ControlText(CAskDialog::kCompany).isEmpty());
    // A port the services database does not name is shown as its number.
    QCOMPARE(PortText(47999), QStringLiteral("47999"));
    QCOMPARE(prompt->ControlText(CAskDialog::kRemoteLabel), QStringLiteral("IP & Port"));
    // Collapsed: the options are hidden and the window is 160 pixels shorter.
    QVERIFY(!prompt->Expanded());
    QVERIFY(!prompt->Control(CAskDialog::kOnlyPort)->isVisible());
    QCOMPARE(prompt->height(), CAskDialog::kCollapsedHeight);
    QCOMPARE(prompt->ButtonRect(CAskDialog::kAllow), QRect(270, 279, 63, 26));
    QCOMPARE(prompt->ButtonRect(CAskDialog::kBlock), QRect(334, 279, 63, 26));
    prompt->OnCommand(CAskDialog::kToggle);
    QVERIFY(prompt->Expanded());
    QVERIFY(prompt->Control(CAskDialog::kOnlyPort)->isVisible());
    QVERIFY(prompt->Control(CAskDialog::kOnlyIp)->isVisible());
    QCOMPARE(prompt->height(), CAskDialog::kCollapsedHeight + 160);
    QCOMPARE(prompt->ButtonRect(CAskDialog::kAllow).top(), 439);
    // Clicking the toggle itself collapses it again.
    QPoint toggle = prompt->Control(CAskDialog::kToggle)->geometry().center();
    QTest::mouseClick(prompt->Control(CAskDialog::kToggle), Qt::LeftButton, {},
                      prompt->Control(CAskDialog::kToggle)->mapFromParent(toggle));
    QVERIFY(!prompt->Expanded());
    // A second request of the same process waits for this prompt instead of opening another.
    Inject({Request(2, pid_, kSmtpHost, 80)});
    QCOMPARE(CAskDialog::OpenPrompts().size(), size_t{1});
    QCOMPARE(pending_.Count(), size_t{2});
  }

  void blockOnlyThisPortSettlesThatPortAndChainsTheNext() {
    Inject({Request(1, pid_, kSmtpHost, 25), Request(2, pid_, kWebHost, 80),
            Request(3, pid_, kSmtpHost, 25)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    Check(prompt, CAskDialog::kOnlyPort);
    Click(prompt, CAskDialog::kBlock);
    QVERIFY(prompt->Answered());

    tagFIREWALL_PROGRAM rule{};
    QVERIFY(FindRule("/usr/bin/sleep", &rule));
    QCOMPARE(rule.action, int16_t{2});
    tagPOLICY_TABLE table = TableOf(rule);
    QCOMPARE(table.count, 1u);
    QCOMPARE(table.entries[0].action, uint16_t{0});
    QCOMPARE(table.entries[0].beginPort, uint16_t{25});
    QCOMPARE(table.entries[0].endPort, uint16_t{25});
    QCOMPARE(table.entries[0].protocol, uint16_t{1});
    QCOMPARE(table.entries[0].beginIp, 0u);
    // Only the requests to port 25 were blocked.
    QCOMPARE(Verdicts(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0}, {3, 0}}));
    QCOMPARE(pending_.Count(), size_t{1});
    // The request to port 80 gets a prompt of its own.
    CAskDialog* next = OnlyPrompt();
    QVERIFY(next != nullptr);
    QVERIFY(next != prompt);
    QCOMPARE(next->Request().requestHandle, 2u);
    QCOMPARE(next->ControlText(CAskDialog::kRemote), QStringLiteral("10.0.0.6:http (80)"));
    QCOMPARE(refreshes_, 1);
    // The answered prompt is gone once the event loop runs.
    QPointer<CAskDialog> gone(prompt);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(gone.isNull());
  }

  void allowWithNoBoxAllowsEveryPendingRequestAndLogsTheRule() {
    Inject({Request(1, pid_, kSmtpHost, 25), Request(2, pid_, kWebHost, 80),
            Request(3, 999999, kWebHost, 80)});
    QCOMPARE(CAskDialog::OpenPrompts().size(), size_t{2});
    CAskDialog* prompt = CAskDialog::OpenPrompts().front();
    QCOMPARE(prompt->Request().processId, pid_);
    Click(prompt, CAskDialog::kAllow);
    tagFIREWALL_PROGRAM rule{};
    QVERIFY(FindRule("/usr/bin/sleep", &rule));
    QCOMPARE(rule.action, int16_t{1});
    QCOMPARE(Verdicts(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {2, 1}}));
    // The other process's request and prompt are untouched.
    QCOMPARE(pending_.Count(), size_t{1});
    QCOMPARE(CAskDialog::OpenPrompts().size(), size_t{1});
    QString log = ReadAll(EventLog());
    QVERIFY2(log.contains("Allow Button Down"), qPrintable(log));
    QVERIFY(log.contains("Allow Button Up"));
    QVERIFY(log.contains("Program Name : /usr/bin/sleep, Action : 1"));
    QString debug = ReadAll(qxfw::shell::CDebug::Instance()->FileName());
    QVERIFY(debug.contains("AskDlg::OnLButtonDown:Allow Button Down"));
    QVERIFY(debug.contains("AskDlg::OnLButtonUp:OnAllow()"));
    QVERIFY(debug.contains(
        QStringLiteral("AskDlg::SaveChanges:Program=sleep, Port=25 chkIP=0 chkPort=0")));
    // The rule decides the next connection without asking.
    Inject({Request(4, pid_, kWebHost, 443)});
    QCOMPARE(CAskDialog::OpenPrompts().size(), size_t{1});
    QCOMPARE(Verdicts().back(), (std::pair<uint32_t, uint32_t>{4, 1}));
    // The other prompt was open all along; its presses are logged too.
    Click(CAskDialog::OpenPrompts().front(), CAskDialog::kBlock);
    QVERIFY2(ReadAll(EventLog()).contains("Block Button Down"), qPrintable(ReadAll(EventLog())));
    QVERIFY(ReadAll(EventLog()).contains("Block Button Up"));
  }

  void onlyThisIpTurnsAnAllowRuleIntoAPolicy() {
    Inject({Request(1, pid_, kSmtpHost, 25)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    // The user made an allow rule meanwhile (another window); the answer replaces it.
    tagFIREWALL_PROGRAM existing{};
    existing.action = 1;
    std::strcpy(existing.path, "/usr/bin/sleep");
    QVERIFY(db_->AddProgram(existing, nullptr) != 0);
    Check(prompt, CAskDialog::kOnlyIp);
    Click(prompt, CAskDialog::kBlock);
    tagFIREWALL_PROGRAM rule{};
    QVERIFY(FindRule("/usr/bin/sleep", &rule));
    QCOMPARE(rule.action, int16_t{2});
    tagPOLICY_TABLE table = TableOf(rule);
    QCOMPARE(table.count, 1u);
    QCOMPARE(table.entries[0].beginIp, kSmtpHost);
    QCOMPARE(table.entries[0].endIp, kSmtpHost);
    QCOMPARE(table.entries[0].beginPort, uint16_t{0});
    QCOMPARE(RuleCount(), 1);
    // A replaced rule writes no event log line.
    QVERIFY(!ReadAll(EventLog()).contains("Program Name"));
  }

  void releaseOffTheButtonAndKeysDoNothing() {
    Inject({Request(1, pid_, kSmtpHost, 25)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    const QPoint allow = prompt->ButtonRect(CAskDialog::kAllow).center();
    QTest::mouseMove(prompt, allow);
    QCOMPARE(prompt->ButtonState(CAskDialog::kAllow), int{CAskDialog::kStateHover});
    QTest::mousePress(prompt, Qt::LeftButton, {}, allow);
    QCOMPARE(prompt->ButtonState(CAskDialog::kAllow), int{CAskDialog::kStatePressed});
    const QPoint off(40, 140);
    QTest::mouseMove(prompt, off);
    QCOMPARE(prompt->ButtonState(CAskDialog::kAllow), int{CAskDialog::kStateNormal});
    QTest::mouseRelease(prompt, Qt::LeftButton, {}, off);
    // Pressed on Allow, released over Block: not an answer either.
    QTest::mousePress(prompt, Qt::LeftButton, {}, allow);
    QTest::mouseRelease(prompt, Qt::LeftButton, {},
                        prompt->ButtonRect(CAskDialog::kBlock).center());
    QVERIFY(!prompt->Answered());
    QVERIFY(Verdicts().empty());
    QCOMPARE(RuleCount(), 0);

    // The top band drags the window like a caption, and answers nothing either.
    const QPoint before = prompt->pos();
    QTest::mousePress(prompt, Qt::LeftButton, {}, QPoint(100, 10));
    QTest::mouseMove(prompt, QPoint(150, 40));
    QTest::mouseRelease(prompt, Qt::LeftButton, {}, QPoint(150, 40));
    QCOMPARE(prompt->pos(), before + QPoint(50, 30));
    QCOMPARE(prompt->cursor().shape(), Qt::ArrowCursor);
    QTest::mouseMove(prompt, prompt->ButtonRect(CAskDialog::kBlock).center());
    QCOMPARE(prompt->cursor().shape(), Qt::PointingHandCursor);

    QTest::keyClick(prompt, Qt::Key_Escape);
    QTest::keyClick(prompt, Qt::Key_Return);
    QTest::keyClick(prompt, Qt::Key_Enter);
    QVERIFY(!prompt->close());
    QApplication::processEvents();
    QCOMPARE(OnlyPrompt(), prompt);
    QVERIFY(prompt->isVisible());
    QVERIFY(Verdicts().empty());
  }

  void aSecondAnswerOrALateCommandDoesNothing() {
    Inject({Request(1, pid_, kSmtpHost, 25)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    prompt->OnCommand(CAskDialog::kCommandBlock);
    prompt->OnCommand(CAskDialog::kCommandAllow);
    Click(prompt, CAskDialog::kAllow);
    QCOMPARE(Verdicts(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0}}));
    tagFIREWALL_PROGRAM rule{};
    QVERIFY(FindRule("/usr/bin/sleep", &rule));
    QCOMPARE(rule.action, int16_t{0});
    QVERIFY(CAskDialog::OpenPrompts().empty());
  }

  void aReusedProcessIdStoresNoRule() {
    Inject({Request(1, pid_, kSmtpHost, 25), Request(2, pid_, kWebHost, 80)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    QVERIFY(prompt->Process().startTicks != 0);
    // While the prompt is open the process ends and its pid goes to another program.
    lookUpOverride_ = [shown = prompt->Process()](uint32_t) {
      PromptProcess other = shown;
      other.startTicks = shown.startTicks + 1;
      other.program.path = "/usr/bin/other";
      other.program.executable.inode = shown.program.executable.inode + 1;
      return other;
    };
    Click(prompt, CAskDialog::kAllow);
    QCOMPARE(RuleCount(), 0);
    // Only the request the user saw is answered; the other may be the new program's.
    QCOMPARE(Verdicts(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}}));
    CAskDialog* next = OnlyPrompt();
    QVERIFY(next != nullptr);
    QCOMPARE(next->Request().requestHandle, 2u);
    QCOMPARE(next->ControlText(CAskDialog::kPath), QStringLiteral("/usr/bin/other"));
  }

  void anUnknownProgramGetsNoPlaceholderRule() {
    // A process that is gone before the prompt looks: nothing is known of its program.
    QProcess brief;
    brief.start(QStringLiteral("/usr/bin/true"));
    QVERIFY(brief.waitForFinished());
    const uint32_t gone = static_cast<uint32_t>(brief.processId());
    lookUpOverride_ = [](uint32_t) { return PromptProcess{}; };
    Inject({Request(1, gone, kSmtpHost, 25), Request(2, gone, kSmtpHost, 26)});
    CAskDialog* prompt = OnlyPrompt();
    QVERIFY(prompt != nullptr);
    QCOMPARE(prompt->ControlText(CAskDialog::kName), QStringLiteral("n/a(%1)").arg(gone));
    QCOMPARE(prompt->ControlText(CAskDialog::kPath), QStringLiteral("n/a"));
    Click(prompt, CAskDialog::kBlock);
    QCOMPARE(RuleCount(), 0);
    QCOMPARE(Verdicts(), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0}, {2, 0}}));
  }
};

// Needs a real window system (the offscreen one activates every window it shows): run under
// Xvfb with --focus.
class PromptFocusTest : public QObject {
  Q_OBJECT
 private slots:
  void aPromptDoesNotTakeTheKeyboard() {
    QLineEdit typing;
    typing.setWindowTitle(QStringLiteral("editor"));
    typing.resize(300, 80);
    typing.show();
    QVERIFY(QTest::qWaitForWindowExposed(&typing));
    // The user clicks into the editor, as the window manager expects before it hands over the
    // keyboard.
    bool active = false;
    for (int i = 0; i < 10 && !active; ++i) {
      QProcess::execute(QStringLiteral("xdotool"),
                        {QStringLiteral("mousemove"), QStringLiteral("--window"),
                         QString::number(typing.winId()), QStringLiteral("20"),
                         QStringLiteral("20"), QStringLiteral("click"), QStringLiteral("1")});
      active = QTest::qWaitForWindowActive(&typing, 500);
    }
    QVERIFY(active);
    QProcess child;
    child.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(child.waitForStarted());
    auto context = std::make_shared<AskContext>();
    context->text = [](int id) { return QString::fromUtf8(qxfw::store::kEnglishStrings[id]); };
    CAskDialog* prompt = CAskDialog::Open(
        context, Request(1, static_cast<uint32_t>(child.processId()), kSmtpHost, 25));
    QVERIFY(QTest::qWaitForWindowExposed(prompt));
    QTest::qWait(300);
    QVERIFY(prompt->isVisible());
    QCOMPARE(QApplication::activeWindow(), &typing);
    // The window manager keeps it above the others.
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(prompt->winId()),
                                          QStringLiteral("_NET_WM_STATE")});
    QVERIFY(xprop.waitForFinished());
    QVERIFY2(xprop.readAllStandardOutput().contains("_NET_WM_STATE_ABOVE"), "not kept above");
    // Centred across the screen.
    QRect screen = prompt->screen()->availableGeometry();
    QVERIFY(qAbs(prompt->geometry().center().x() - screen.center().x()) <= 1);
    delete prompt;
    child.kill();
    child.waitForFinished();
  }
};

int RunAskDialogTests(int argc, char** argv) {
  if (argc > 1 && QByteArray(argv[1]) == "--focus") {
    PromptFocusTest test;
    return QTest::qExec(&test, 1, argv);
  }
  AskDialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ask_dialog_test.moc"
