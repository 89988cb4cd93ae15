#include "monitor/mng_port_list.h"

#include <cstring>
#include <functional>
#include <string_view>

#include "platform/text_compare.h"

namespace qxfw::monitor {

bool CMngPortList::Key::operator==(const Key& other) const {
  return processId == other.processId && localPort == other.localPort &&
         remotePort == other.remotePort &&
         std::memcmp(localAddress, other.localAddress, sizeof(localAddress)) == 0 &&
         std::memcmp(remoteAddress, other.remoteAddress, sizeof(remoteAddress)) == 0;
}

size_t CMngPortList::KeyHash::operator()(const Key& key) const {
  std::hash<std::string_view> text;
  size_t hash = text(std::string_view(key.localAddress, sizeof(key.localAddress)));
  hash = hash * 31 + text(std::string_view(key.remoteAddress, sizeof(key.remoteAddress)));
  hash = hash * 31 + key.processId;
  return hash * 31 + (static_cast<size_t>(key.localPort) << 16 | key.remotePort);
}

CMngPortList::Key CMngPortList::KeyOf(const PortInfo& record) {
  Key key{};
  key.processId = record.processId;
  std::memcpy(key.localAddress, record.localAddress, sizeof(key.localAddress));
  std::memcpy(key.remoteAddress, record.remoteAddress, sizeof(key.remoteAddress));
  key.localPort = record.localPort;
  key.remotePort = record.remotePort;
  return key;
}

CMngPortList::CMngPortList(bool tcp) : CMngPortList(std::make_unique<CPortList>(tcp)) {}

CMngPortList::CMngPortList(std::unique_ptr<CPortList> ports)
    : ports_(std::move(ports)), current_(records_.end()) {}

void CMngPortList::Refresh() {
  // Age what the previous refreshes found.
  for (auto it = records_.begin(); it != records_.end();) {
    if (it->status == kPortGone) {
      index_.erase(KeyOf(*it));
      it = records_.erase(it);
      continue;
    }
    it->status = it->status == kPortVanished ? kPortGone : kPortVanished;
    ++it;
  }

  ports_->Refresh();
  while (ports_->MoveNext()) {
    PortInfo row{};
    row.processId = ports_->ProcessId();
    std::string local = ports_->LocalAddress();
    std::string remote = ports_->RemoteAddress();
    std::strncpy(row.localAddress, local.c_str(), sizeof(row.localAddress) - 1);
    std::strncpy(row.remoteAddress, remote.c_str(), sizeof(row.remoteAddress) - 1);
    row.stateName = ports_->StateName();
    row.localPort = ports_->LocalPort();
    row.remotePort = ports_->RemotePort();

    auto found = index_.find(KeyOf(row));
    if (found == index_.end()) {
      row.status = kPortNew;
      records_.push_back(row);
      index_.emplace(KeyOf(row), std::prev(records_.end()));
      continue;
    }
    PortInfo& record = *found->second;
    if (record.stateName != nullptr && row.stateName != nullptr &&
        !platform::EqualNoCase(record.stateName, row.stateName)) {
      record.status = kPortStateChanged;
      record.stateName = row.stateName;
    } else {
      record.status = kPortUnchanged;
    }
  }
  cursor_ = -1;
  current_ = records_.end();
}

bool CMngPortList::MoveNext() {
  int64_t count = static_cast<int64_t>(records_.size());
  if (cursor_ >= count) return false;
  ++cursor_;
  if (cursor_ >= count) {
    current_ = records_.end();
    return false;
  }
  current_ = cursor_ == 0 ? records_.begin() : std::next(current_);
  return true;
}

int32_t CMngPortList::Status() const {
  return current_ != records_.end() ? current_->status : -1;
}

bool CMngPortList::GetCurrent(PortInfo* record) const {
  if (current_ == records_.end()) return false;
  *record = *current_;
  return true;
}

void CMngPortList::RemoveAll() {
  index_.clear();
  records_.clear();
  cursor_ = -1;
  current_ = records_.end();
}

}  // namespace qxfw::monitor
