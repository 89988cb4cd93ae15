#include "monitor/net_rows.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include "monitor/process_list.h"
#include "monitor/trusted_path.h"
#include "platform/file.h"

namespace qxfw::monitor {
namespace {

constexpr const char* kFilterStates[] = {nullptr, "Listen", "Established", "Close Wait"};

std::string Text16(const char (&text)[16]) {
  return std::string(text, strnlen(text, 16));
}

struct KeyHash {
  size_t operator()(const NetRowKey& key) const {
    size_t h = std::hash<std::string>()(key.localAddress);
    h = h * 31 + std::hash<std::string>()(key.remoteAddress);
    h = h * 31 + key.processId;
    h = h * 31 + (static_cast<size_t>(key.localPort) << 16 | key.remotePort);
    return h * 2 + static_cast<size_t>(key.kind);
  }
};

NetRowKey KeyOfRecord(const PortInfo& record, int kind) {
  return {kind,
          record.processId,
          Text16(record.localAddress),
          Text16(record.remoteAddress),
          record.localPort,
          record.remotePort};
}

bool SameState(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

int CompareNoCase(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str());
}

}  // namespace

std::optional<RowColours> ColoursOf(NetRowColour colour) {
  switch (colour) {
    case NetRowColour::kNew:
      return RowColours{0x000000, 0x8AFE2F};
    case NetRowColour::kStateChanged:
      return RowColours{0x000000, 0xFCFE20};
    case NetRowColour::kTcpVanished:
      return RowColours{0xFFFFFF, 0xF50E0E};
    case NetRowColour::kUdpVanished:
      return RowColours{0x000000, 0xF50E0E};
    case NetRowColour::kNone:
      break;
  }
  return std::nullopt;
}

NetRowKey KeyOf(const NetRow& row) {
  return KeyOfRecord(row.record, row.kind);
}

int FindRow(const std::vector<NetRow>& rows, const NetRowKey& key) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const PortInfo& r = rows[i].record;
    if (rows[i].kind == key.kind && r.processId == key.processId && r.localPort == key.localPort &&
        r.remotePort == key.remotePort && Text16(r.localAddress) == key.localAddress &&
        Text16(r.remoteAddress) == key.remoteAddress) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void ApplyDelta(std::vector<NetRow>& rows, NetRowsDelta delta) {
  if (delta.rebuilt) rows.clear();
  for (int index : delta.deleted) {
    if (index >= 0 && static_cast<size_t>(index) < rows.size()) rows.erase(rows.begin() + index);
  }
  for (auto& [index, row] : delta.inserted) {
    size_t at = std::min(static_cast<size_t>(std::max(index, 0)), rows.size());
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
  }
  for (auto& [index, row] : delta.updated) {
    if (index >= 0 && static_cast<size_t>(index) < rows.size()) rows[index] = std::move(row);
  }
}

void ToggleTcp(NetViewOptions* options) {
  if (options->showUdp) {
    options->showTcp = !options->showTcp;
  } else {
    options->showTcp = false;
    options->showUdp = true;
  }
}

void ToggleUdp(NetViewOptions* options) {
  if (options->showTcp) {
    options->showUdp = !options->showUdp;
  } else {
    options->showUdp = false;
    options->showTcp = true;
  }
}

void CSystemNetNames::BeginRefresh() {
  snapshotTaken_ = false;
  names_.clear();
}

void CSystemNetNames::TakeSnapshot() {
  snapshotTaken_ = true;
  processes_ = std::make_unique<CProcessList>();
  while (processes_->MoveNext()) {
    names_.emplace_back(processes_->GetProcessId(), processes_->GetProcessName());
  }
  std::stable_sort(names_.begin(), names_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::optional<std::string> CSystemNetNames::ProcessName(uint32_t processId) {
  if (!snapshotTaken_) TakeSnapshot();
  auto found = std::lower_bound(names_.begin(), names_.end(), processId,
                                [](const auto& entry, uint32_t id) { return entry.first < id; });
  if (found == names_.end() || found->first != processId) return std::nullopt;
  return found->second;
}

std::string CSystemNetNames::ProgramPath(uint32_t processId) {
  if (processId == 0) return {};
  if (!snapshotTaken_) TakeSnapshot();
  return processes_->PathOf(processId);
}

uint64_t CSystemNetNames::StartTicks(uint32_t processId) {
  return processId == 0 ? 0 : ProcessStartTicks(static_cast<pid_t>(processId));
}

std::string CSystemNetNames::AddressName(const std::string& dotted) {
  return tcp_ != nullptr ? tcp_->ResolveAddress(dotted.c_str()) : dotted;
}

std::string CSystemNetNames::PortName(uint16_t port) {
  return CMngPortList::ServiceName(port);
}

EndShownResult EndShownProcess(uint32_t processId, uint64_t startTicks) {
  if (processId == 0 || processId > 0x7FFFFFFF) return EndShownResult::kGone;
  platform::UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, processId, 0)));
  if (!pidfd.Valid()) return errno == EPERM ? EndShownResult::kDenied : EndShownResult::kGone;
  // The pidfd holds this very process; if it is not the one shown, the id was reused.
  uint64_t start = ProcessStartTicks(static_cast<pid_t>(processId));
  if (start == 0 || start != startTicks) return EndShownResult::kGone;
  if (syscall(SYS_pidfd_send_signal, pidfd.Get(), SIGKILL, nullptr, 0) != 0) {
    return errno == ESRCH ? EndShownResult::kGone : EndShownResult::kDenied;
  }
  return EndShownResult::kEnded;
}

bool WhoisEntryEnabled(const std::string& displayName) {
  size_t dot = displayName.rfind('.');
  return dot != std::string::npos && displayName.size() - dot - 1 <= 3;
}

int WhoisRefusal(const std::string& displayName) {
  if (displayName.size() >= 16) return 198;
  int dots = 0;
  int digits = 0;
  int value = 0;
  for (char c : displayName) {
    if (c == '.') {
      if (digits == 0 || ++dots > 3) return 190;
      digits = 0;
      value = 0;
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (++digits > 3 || value > 255) return 190;
    } else {
      return 190;
    }
  }
  return dots == 3 && digits > 0 ? 0 : 190;
}

std::vector<PortInfo> TakeRecords(CMngPortList& list) {
  std::vector<PortInfo> records;
  records.reserve(list.Count());
  PortInfo record;
  while (list.MoveNext()) {
    if (list.GetCurrent(&record)) records.push_back(record);
  }
  return records;
}

void CNetRows::SetOptions(const NetViewOptions& options) {
  if (options == options_) return;
  options_ = options;
  rebuild_ = true;
}

bool CNetRows::TcpVisible(const char* stateName) const {
  if (!options_.showTcp) return false;
  int filter = options_.statusFilter;
  if (filter < 1 || filter > 3 || options_.showUdp) return true;
  return stateName != nullptr && strcasecmp(stateName, kFilterStates[filter]) == 0;
}

NetRow CNetRows::MakeRow(const PortInfo& record, int kind, NetRowNames& names) const {
  NetRow row;
  row.record = record;
  row.kind = kind;
  std::optional<std::string> name = names.ProcessName(record.processId);
  row.texts[0] = (name ? *name : std::string("n/a")) + ":" + std::to_string(record.processId);
  if (name) {
    row.programPath = names.ProgramPath(record.processId);
    row.startTicks = names.StartTicks(record.processId);
  }
  auto port = [&](uint16_t value) {
    if (options_.resolveNames) return names.PortName(value);
    char text[16];
    std::snprintf(text, sizeof(text), "%5d", value);
    return std::string(text);
  };
  auto address = [&](const char(&dotted)[16]) {
    std::string text = Text16(dotted);
    return options_.resolveNames ? names.AddressName(text) : text;
  };
  row.texts[1] = address(record.localAddress) + ":" + port(record.localPort);
  bool listening = record.stateName != nullptr && std::strcmp(record.stateName, "Listen") == 0;
  row.texts[2] = kind == kKindUdp || listening
                     ? std::string("*:*")
                     : address(record.remoteAddress) + ":" + port(record.remotePort);
  row.texts[3] = kind == kKindTcp ? "TCP" : "UDP";
  row.texts[4] = record.stateName != nullptr ? record.stateName : "";
  return row;
}

bool CNetRows::Before(const NetRow& a, const NetRow& b) const {
  auto less = [this](const NetRow& x, const NetRow& y) {
    int column = options_.sortColumn;
    if (column == 3) return x.kind < y.kind;
    if (column < 0 || column >= kNetColumnCount) column = 0;
    return CompareNoCase(x.texts[column], y.texts[column]) < 0;
  };
  return options_.ascending ? less(a, b) : less(b, a);
}

NetRowsDelta CNetRows::Refresh(const std::vector<PortInfo>& tcp, const std::vector<PortInfo>& udp,
                               NetRowNames& names) {
  NetRowsDelta delta;
  names.BeginRefresh();
  if (rebuild_) {
    rebuild_ = false;
    rows_.clear();
    refreshCount_ = 0;
    delta.rebuilt = true;
  }
  const bool colourNew = refreshCount_ >= 1;

  std::unordered_map<NetRowKey, size_t, KeyHash> index;
  index.reserve(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) index.emplace(KeyOf(rows_[i]), i);
  std::vector<char> deleted(rows_.size(), 0);
  std::vector<char> updated(rows_.size(), 0);
  std::vector<NetRow> added;

  auto recolour = [&](size_t i, NetRowColour colour) {
    if (rows_[i].colour == colour) return;
    rows_[i].colour = colour;
    updated[i] = 1;
  };
  auto walk = [&](const std::vector<PortInfo>& records, int kind) {
    bool shown = kind == kKindTcp ? options_.showTcp : options_.showUdp;
    for (const PortInfo& record : records) {
      auto found = index.find(KeyOfRecord(record, kind));
      bool have = found != index.end() && !deleted[found->second];
      size_t i = have ? found->second : 0;
      switch (record.status) {
        case kPortNew:
          if (kind == kKindTcp ? TcpVisible(record.stateName) : shown) {
            added.push_back(MakeRow(record, kind, names));
            added.back().colour = colourNew ? NetRowColour::kNew : NetRowColour::kNone;
          }
          break;
        case kPortStateChanged:
          if (kind != kKindTcp) break;
          // The same visibility rule as for a new row: a change never hides a row whose
          // protocol is shown, and it shows one the filter hid before.
          if (have) {
            if (SameState(rows_[i].record.stateName, record.stateName)) break;
            if (!TcpVisible(record.stateName)) {
              deleted[i] = 1;
            } else {
              rows_[i].record = record;
              rows_[i].texts[4] = record.stateName != nullptr ? record.stateName : "";
              rows_[i].colour = NetRowColour::kStateChanged;
              updated[i] = 1;
            }
          } else if (TcpVisible(record.stateName)) {
            added.push_back(MakeRow(record, kind, names));
            added.back().colour = colourNew ? NetRowColour::kStateChanged : NetRowColour::kNone;
          }
          break;
        case kPortVanished:
          if (have) {
            recolour(i, kind == kKindTcp ? NetRowColour::kTcpVanished : NetRowColour::kUdpVanished);
          }
          break;
        case kPortGone:
          if (have) deleted[i] = 1;
          break;
        case kPortUnchanged:
          if (have) recolour(i, NetRowColour::kNone);
          break;
        default:
          break;
      }
    }
  };
  walk(tcp, kKindTcp);
  walk(udp, kKindUdp);

  // The kept rows in their order, then the new rows merged in by their sort keys; a new row
  // goes after the rows it equals.
  std::vector<NetRow> kept;
  std::vector<char> keptUpdated;
  kept.reserve(rows_.size() + added.size());
  for (size_t i = rows_.size(); i-- > 0;) {
    if (deleted[i]) delta.deleted.push_back(static_cast<int>(i));
  }
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (deleted[i]) continue;
    kept.push_back(std::move(rows_[i]));
    keptUpdated.push_back(updated[i]);
  }
  std::stable_sort(added.begin(), added.end(),
                   [this](const NetRow& a, const NetRow& b) { return Before(a, b); });
  std::vector<NetRow> merged;
  merged.reserve(kept.size() + added.size());
  size_t k = 0;
  for (NetRow& row : added) {
    auto at = std::upper_bound(kept.begin() + static_cast<std::ptrdiff_t>(k), kept.end(), row,
                               [this](const NetRow& a, const NetRow& b) { return Before(a, b); });
    size_t until = static_cast<size_t>(at - kept.begin());
    for (; k < until; ++k) {
      if (keptUpdated[k]) delta.updated.emplace_back(static_cast<int>(merged.size()), kept[k]);
      merged.push_back(std::move(kept[k]));
    }
    delta.inserted.emplace_back(static_cast<int>(merged.size()), row);
    merged.push_back(std::move(row));
  }
  for (; k < kept.size(); ++k) {
    if (keptUpdated[k]) delta.updated.emplace_back(static_cast<int>(merged.size()), kept[k]);
    merged.push_back(std::move(kept[k]));
  }
  rows_ = std::move(merged);
  ++refreshCount_;
  return delta;
}

}  // namespace qxfw::monitor
