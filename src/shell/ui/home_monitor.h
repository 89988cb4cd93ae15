// CHomeMonitor: keeps the report of the home page and the tray icon true to the program's
// state, at most a second behind.
//
// The facts that live on the user-interface thread are read on every tick (250 ms): the driver
// channel (attached, or lost, which is let go at once), the security level, the rule counts
// (from the store's copy in memory) and the connections held for an answer. What takes files or
// the daemon to learn comes from a CStatusWorker as queued calls; a device the worker opened is
// attached to the driver channel here. "Start the filter" runs the installer on a thread of its
// own. ReportChanged is emitted only when the report changed. User-interface thread only.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "firewall/request_poller.h"
#include "shell/command_runner.h"
#include "shell/home_state.h"
#include "shell/status_worker.h"

namespace qxfw::firewall {
class CFirewallDriver;
}
namespace qxfw::store {
class CDBManager;
}

namespace qxfw::shell {

class CHomeMonitor : public QObject {
  Q_OBJECT
 public:
  struct Sources {
    firewall::CFirewallDriver* driver = nullptr;
    store::CDBManager* store = nullptr;  // null: no rules are counted
    const firewall::CPendingRequests* pending = nullptr;
    std::function<int()> level;
    TextSource text;
    CommandRunner runner;  // runs the installer's command line and waits
    CStatusWorker::Options worker;
  };
  static constexpr int kTickMs = 250;

  explicit CHomeMonitor(Sources sources, QObject* parent = nullptr);
  ~CHomeMonitor() override;

  const HomeReport& Report() const { return report_; }
  const HomeFacts& Facts() const { return facts_; }
  // Replaces the installer's runner (tests put a double here).
  void SetRunner(CommandRunner runner) { sources_.runner = std::move(runner); }

  // "Start the filter": the installer with "/StartDriver", unless a start runs already.
  void StartDaemon();
  // Reads the user-interface facts now and sends the report on when it changed.
  void Refresh();

 signals:
  void ReportChanged();
  // The installer could not be started; text is the message for the user.
  void SetupFailed(const QString& text);

 private:
  void OnRound(const std::shared_ptr<CStatusWorker::Round>& round);
  void OnStartDone(int error);
  DaemonLink LinkNow();

  Sources sources_;
  QTimer tick_;
  HomeFacts facts_;
  HomeReport report_;
  bool reported_ = false;
  bool everAttached_ = false;
  std::optional<uint32_t> lastOpenStatus_;
  AntiVirusFacts antivirus_;
  std::optional<LastScanRecord> lastScan_;
  bool starting_ = false;
  CBackgroundCommand start_;
  std::unique_ptr<CStatusWorker> worker_;
};

}  // namespace qxfw::shell
