#include "shell/ui/home_monitor.h"

#include "firewall/device_protocol.h"
#include "firewall/firewall_driver.h"
#include "platform/debug_output.h"
#include "shell/av_state.h"
#include "store/db_manager.h"

namespace qxfw::shell {
namespace {

// Live records of one kind in the store's copy in memory.
uint32_t CountRules(store::CDBManager& db, int select) {
  uint32_t count = 0;
  db.Select(store::CDBManager::kSelectRuleFile);
  while (db.Select(select) != 0) ++count;
  return count;
}

}  // namespace

CHomeMonitor::CHomeMonitor(Sources sources, QObject* parent)
    : QObject(parent), sources_(std::move(sources)) {
  setObjectName(QStringLiteral("homeMonitor"));
  tick_.setInterval(kTickMs);
  connect(&tick_, &QTimer::timeout, this, &CHomeMonitor::Refresh);
  tick_.start();
  worker_ = std::make_unique<CStatusWorker>(
      sources_.worker, [this](std::shared_ptr<CStatusWorker::Round> round) {
        // On the worker's thread: only queue it. Events still queued when this object goes
        // are dropped with it, and the worker ends before that.
        QMetaObject::invokeMethod(
            this, [this, round] { OnRound(round); }, Qt::QueuedConnection);
      });
}

CHomeMonitor::~CHomeMonitor() {
  worker_.reset();
}

DaemonLink CHomeMonitor::LinkNow() {
  firewall::CFirewallDriver* driver = sources_.driver;
  if (driver != nullptr && driver->DropLostDevice()) everAttached_ = true;
  if (driver != nullptr && driver->IsOpen()) {
    everAttached_ = true;
    return DaemonLink::kAttached;
  }
  if (lastOpenStatus_ == firewall::ERROR_SHARING_VIOLATION) return DaemonLink::kRefusedBusy;
  if (lastOpenStatus_ == firewall::ERROR_ACCESS_DENIED) return DaemonLink::kRefusedDenied;
  return everAttached_ ? DaemonLink::kGone : DaemonLink::kNotStarted;
}

void CHomeMonitor::Refresh() {
  HomeFacts facts;
  facts.daemon = LinkNow();
  // While the program has no device the worker keeps trying to open it.
  worker_->SetProbe(facts.daemon != DaemonLink::kAttached);
  if (facts.daemon == DaemonLink::kAttached) lastOpenStatus_.reset();
  facts.daemonStarting = starting_;
  facts.level = sources_.level ? sources_.level() : 3;
  if (sources_.store != nullptr && sources_.store->IsRuleFileOpen()) {
    facts.programRules = CountRules(*sources_.store, store::CDBManager::kSelectProgram);
    facts.portRules = CountRules(*sources_.store, store::CDBManager::kSelectPortIp);
  }
  facts.waiting =
      sources_.pending != nullptr ? static_cast<uint32_t>(sources_.pending->Count()) : 0;
  facts.engine =
      EngineStateOf(antivirus_, g_bUpdating.load(), g_bInitEngine.load(), g_bAVScanRunning.load());
  facts.signatureVersion = antivirus_.version;
  facts.signatureDate = antivirus_.date;
  facts.lastScan = lastScan_;
  if (reported_ && facts == facts_) return;
  facts_ = facts;
  HomeReport report = DescribeHome(facts_, sources_.text);
  if (reported_ && report == report_) return;
  report_ = std::move(report);
  reported_ = true;
  platform::DebugOutput("[QXFW.exe] CHomeMonitor: %s (%s)", report_.headline.c_str(),
                        report_.rows.empty() ? "" : report_.rows.front().value.c_str());
  emit ReportChanged();
}

void CHomeMonitor::OnRound(const std::shared_ptr<CStatusWorker::Round>& round) {
  antivirus_ = round->antivirus;
  lastScan_ = round->lastScan;
  firewall::CFirewallDriver* driver = sources_.driver;
  if (round->probed && driver != nullptr && !driver->IsOpen()) {
    lastOpenStatus_ = round->openStatus;
    if (round->device != nullptr && driver->Attach(std::move(round->device))) {
      everAttached_ = true;
    }
  }
  Refresh();
}

void CHomeMonitor::StartDaemon() {
  if (start_.Running()) return;
  CommandRunner runner = sources_.runner ? sources_.runner : CommandRunner(RunCommandAndWait);
  const bool started =
      start_.Start([runner] { return firewall::CFirewallDriver::RunSetup("/StartDriver", runner); },
                   [this](int error) {
                     QMetaObject::invokeMethod(
                         this, [this, error] { OnStartDone(error); }, Qt::QueuedConnection);
                   });
  if (!started) return;
  platform::DebugOutput("[QXFW.exe] CHomeMonitor: starting the filter");
  starting_ = true;
  Refresh();
}

void CHomeMonitor::OnStartDone(int error) {
  starting_ = false;
  if (error != 0) {
    emit SetupFailed(QString::fromStdString(firewall::CFirewallDriver::SetupErrorText(error)));
  }
  worker_->Wake();
  Refresh();
}

}  // namespace qxfw::shell
