// CNetRows: the rows of the network view without any widget: their texts, their colours from
// the change statuses of the managed connection lists, which records are shown (protocol
// toggles and the status filter) and where a new row goes in the sort order.
//
// Each Refresh turns the records of one refresh of the TCP and the UDP CMngPortList into the
// new row set and a NetRowsDelta: the edits that bring a copy of the previous rows (the list
// control) to the new ones. The view computes on a worker thread and applies the delta on the
// user-interface thread; an object is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "monitor/mng_port_list.h"
#include "monitor/process_list.h"

namespace qxfw::monitor {

enum class NetRowColour {
  kNone,
  kNew,           // added since the first refresh after a rebuild
  kStateChanged,  // TCP state differs from the previous refresh
  kTcpVanished,   // gone; shown once more before it is removed
  kUdpVanished,
};

// Text and background of a colour as 0xRRGGBB; none for kNone (the list's own colours).
struct RowColours {
  uint32_t text;
  uint32_t background;
};
std::optional<RowColours> ColoursOf(NetRowColour colour);

inline constexpr int kNetColumnCount = 5;
inline constexpr int kKindTcp = 1;
inline constexpr int kKindUdp = 2;

struct NetRow {
  PortInfo record{};
  int kind = kKindTcp;
  std::array<std::string, kNetColumnCount> texts;
  std::string programPath;  // the process's executable; empty when unknown
  uint64_t startTicks = 0;  // the process's start (clock ticks after boot); 0 when unknown
  NetRowColour colour = NetRowColour::kNone;
};

// Identity of a row across refreshes: kind, process, both address texts and both ports.
struct NetRowKey {
  int kind = 0;
  uint32_t processId = 0;
  std::string localAddress;
  std::string remoteAddress;
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
  bool operator==(const NetRowKey& other) const = default;
};
NetRowKey KeyOf(const NetRow& row);
// Index of the row with the key; -1 when none.
int FindRow(const std::vector<NetRow>& rows, const NetRowKey& key);

struct NetRowsDelta {
  bool rebuilt = false;                          // empty the copy before the edits
  std::vector<int> deleted;                      // previous indices, descending
  std::vector<std::pair<int, NetRow>> inserted;  // new indices, ascending
  std::vector<std::pair<int, NetRow>> updated;   // new indices of changed rows
  bool Empty() const { return !rebuilt && deleted.empty() && inserted.empty() && updated.empty(); }
};
// Brings rows (the previous row set) to the new one.
void ApplyDelta(std::vector<NetRow>& rows, NetRowsDelta delta);

struct NetViewOptions {
  bool resolveNames = false;  // addresses and ports together
  bool showTcp = true;
  bool showUdp = true;
  int statusFilter = 0;  // 0 all, 1 "Listen", 2 "Established", 3 "Close Wait"
  int sortColumn = 0;
  bool ascending = true;
  bool operator==(const NetViewOptions& other) const = default;
};
// The check-box rules: at least one kind stays shown.
void ToggleTcp(NetViewOptions* options);
void ToggleUdp(NetViewOptions* options);
// The status drop-down is usable only while TCP alone is shown.
inline bool StatusFilterEnabled(const NetViewOptions& options) {
  return options.showTcp && !options.showUdp;
}

// Where the rows get their names from.
class NetRowNames {
 public:
  virtual ~NetRowNames() = default;
  // Called before the records of a refresh are turned into rows.
  virtual void BeginRefresh() {}
  // The process's name; none when it is not found.
  virtual std::optional<std::string> ProcessName(uint32_t processId) = 0;
  virtual std::string ProgramPath(uint32_t processId) = 0;
  virtual uint64_t StartTicks(uint32_t processId) = 0;
  // Display name of a dotted address while resolution is on; never waits on the network.
  virtual std::string AddressName(const std::string& dotted) = 0;
  virtual std::string PortName(uint16_t port) = 0;
};

// Names from the live system: a process snapshot per refresh, the resolver's cache and the
// services database.
class CSystemNetNames : public NetRowNames {
 public:
  explicit CSystemNetNames(CMngPortList* tcp) : tcp_(tcp) {}
  void BeginRefresh() override;
  std::optional<std::string> ProcessName(uint32_t processId) override;
  std::string ProgramPath(uint32_t processId) override;
  uint64_t StartTicks(uint32_t processId) override;
  std::string AddressName(const std::string& dotted) override;
  std::string PortName(uint16_t port) override;

 private:
  void TakeSnapshot();

  CMngPortList* tcp_;
  std::unique_ptr<CProcessList> processes_;
  bool snapshotTaken_ = false;
  std::vector<std::pair<uint32_t, std::string>> names_;  // sorted by process id
};

enum class EndShownResult { kEnded, kGone, kDenied };
// Kills the process shown with that id and start, never another one that reused the id: the
// process is pinned with a pidfd before its start is compared.
EndShownResult EndShownProcess(uint32_t processId, uint64_t startTicks);

// The menu's WHOIS entry is usable when the remote address's display name has a "." and at
// most three characters after the last one.
bool WhoisEntryEnabled(const std::string& displayName);
// Whether the display name can be asked about: 0 when it is a dotted quad shorter than 16
// characters, else the text id of the message to show (198 when 16 characters or longer,
// 190 otherwise).
int WhoisRefusal(const std::string& displayName);

// Records of one refresh, in list order, with their statuses.
std::vector<PortInfo> TakeRecords(CMngPortList& list);

class CNetRows {
 public:
  // The options take effect at the next Refresh; a change of any of them but the sort
  // direction alone rebuilds the rows (the caller empties the managed lists as well).
  void SetOptions(const NetViewOptions& options);
  const NetViewOptions& Options() const { return options_; }
  // Empties the rows; the next refresh fills them without colours.
  void Rebuild() { rebuild_ = true; }
  bool RebuildPending() const { return rebuild_; }

  NetRowsDelta Refresh(const std::vector<PortInfo>& tcp, const std::vector<PortInfo>& udp,
                       NetRowNames& names);

  const std::vector<NetRow>& Rows() const { return rows_; }
  int RefreshCount() const { return refreshCount_; }

 private:
  bool TcpVisible(const char* stateName) const;
  NetRow MakeRow(const PortInfo& record, int kind, NetRowNames& names) const;
  bool Before(const NetRow& a, const NetRow& b) const;

  NetViewOptions options_;
  std::vector<NetRow> rows_;
  int refreshCount_ = 0;
  bool rebuild_ = true;
};

}  // namespace qxfw::monitor
