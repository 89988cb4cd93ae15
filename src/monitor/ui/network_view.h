// CNetworkList: the network page's controls over its page: the check boxes "Resolve IP And Port
// to Name", "TCP" and "UDP", the status drop-down and the list of every connection and endpoint
// with its process, refreshed every 2 s and coloured by what changed (CNetRows).
//
// The refresh never runs on the user-interface thread: a one-thread pool reads the tables and
// the process names and computes the rows' delta, which a queued call applies to the list. The
// selection follows its connection, not its row index. While the context menu or one of its
// questions is open nothing refreshes and no delta is applied: the actions work on the record
// captured when the menu opened. User-interface thread only.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "monitor/net_rows.h"
#include "rules_ui/page_list.h"

class QMenu;

namespace qxfw::rules_ui {
class CProgramIconCache;
}

namespace qxfw::monitor {

class CNetworkList : public rules_ui::CPageList {
  Q_OBJECT
 public:
  enum : int {
    kResolve = 512,
    kTcp = 1024,
    kUdp = 1025,
    kStatus = 400,
    kMenuProperty = 32773,
    kMenuProcessOff = 32774,
    kMenuWhois = 32775,
    kMenuConnectionOff = 32776,
  };
  using RowOpener = std::function<void(QWidget* parent, const NetRow& row)>;
  using WhoisOpener = std::function<void(QWidget* parent, const QString& address)>;

  CNetworkList(QWidget* host, rules_ui::TextSource texts, store::CPreferences* preferences,
               bool korean, int intervalMs = 2000);
  ~CNetworkList() override;

  void SetPropertiesOpener(RowOpener opener) { propertiesOpener_ = std::move(opener); }
  void SetWhoisOpener(WhoisOpener opener) { whoisOpener_ = std::move(opener); }

  bool OnCommand(const QString& command) override;
  // Starts a refresh now (unless one runs or the menu is open).
  void Refresh() override;

  const std::vector<NetRow>& Rows() const { return rows_; }
  const NetViewOptions& Options() const { return options_; }
  bool MenuOpen() const { return menuOpen_; }
  // A refresh runs on the worker (one for changed options follows each that ran with old ones).
  bool RefreshRunning() const { return inFlight_; }
  int RefreshesApplied() const { return refreshesApplied_; }
  // Longest time one delta took to apply on this thread, in ms.
  qint64 LongestApplyMs() const { return longestApplyMs_; }

  // The context menu of the selected row at a global position (also the right click).
  void OpenContextMenu(const QPoint& globalPos);
  void SetResolve(bool on);
  void ClickTcp();
  void ClickUdp();
  void SetStatusFilter(int index);
  void SortBy(int column);

  QCheckBox* ResolveBox() const { return resolve_; }
  QCheckBox* TcpBox() const { return tcp_; }
  QCheckBox* UdpBox() const { return udp_; }
  QComboBox* StatusBox() const { return status_; }

 signals:
  void RowsApplied();

 private:
  struct Worker;
  void Apply(NetRowsDelta delta);
  void ApplyToList(const NetRowsDelta& delta);
  void SetRowTexts(int index, const NetRow& row);
  void OptionsChanged();
  void SyncBoxes();
  void OnAction(int id, const NetRow& row);
  void EndConnection(const NetRow& row);
  void EndProcess(const NetRow& row);
  void Whois(const NetRow& row);
  QString MenuText(int id) const;
  QString RemoteDisplayName(const NetRow& row);
  void PlaceControls();
  bool eventFilter(QObject* watched, QEvent* event) override;

  bool korean_;
  NetViewOptions options_;
  std::shared_ptr<Worker> worker_;
  QThreadPool pool_;
  QTimer timer_;
  bool inFlight_ = false;
  bool menuOpen_ = false;
  std::vector<NetRowsDelta> held_;  // deltas that arrived while the menu was open
  std::vector<NetRow> rows_;        // what the list shows, row for row
  rules_ui::CProgramIconCache* icons_;
  QCheckBox* resolve_;
  QCheckBox* tcp_;
  QCheckBox* udp_;
  QComboBox* status_;
  RowOpener propertiesOpener_;
  WhoisOpener whoisOpener_;
  std::unique_ptr<CMngPortList> resolver_;  // display names for WHOIS; never refreshed
  int refreshesApplied_ = 0;
  qint64 longestApplyMs_ = 0;
};

}  // namespace qxfw::monitor
