// CMngPortList: the list of connections (or UDP endpoints) that the network view and the
// process properties dialog show, kept across refreshes with a change status per record, so
// that the screens can mark what is new, changed or gone since the last refresh.
//
// A record that vanishes is shown once with status 1 and once with status 2 and is removed by
// the third refresh that does not find it; one that reappears in between is matched again.
//
// Threading: belongs to the user-interface thread, like the CPortList it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "monitor/port_list.h"

namespace qxfw::monitor {

// Change status of a record after a refresh.
enum PortStatus : int32_t {
  kPortStateChanged = 0,  // present, its state name differs from the previous refresh
  kPortVanished = 1,      // not present now, present in the previous refresh
  kPortGone = 2,          // not present in the last two refreshes; removed at the next
  kPortUnchanged = 3,     // present and unchanged
  kPortNew = 4,           // new in this refresh
};

// One connection or endpoint, copied whole. Texts are NUL-padded to their full size.
struct PortInfo {
  uint32_t processId;
  char localAddress[16];   // "%d.%d.%d.%d"
  char remoteAddress[16];  // empty for UDP
  const char* stateName;   // one of g_TcpStateNames; null for UDP
  uint16_t localPort;      // host byte order
  uint16_t remotePort;     // host byte order; 0 for UDP
  int32_t status;          // PortStatus
};
static_assert(offsetof(PortInfo, localAddress) == 4 && offsetof(PortInfo, remoteAddress) == 20);
static_assert(offsetof(PortInfo, localPort) == offsetof(PortInfo, stateName) + sizeof(char*));
static_assert(offsetof(PortInfo, status) == offsetof(PortInfo, localPort) + 4);

class CMngPortList {
 public:
  // tcp as for CPortList; creates its own CPortList.
  explicit CMngPortList(bool tcp);
  // For tests: manages the given list.
  explicit CMngPortList(std::unique_ptr<CPortList> ports);
  CMngPortList(const CMngPortList&) = delete;
  CMngPortList& operator=(const CMngPortList&) = delete;

  // Ages the records, takes a new snapshot and merges it; puts the cursor before the first
  // record.
  void Refresh();

  // Makes the next record current; false once the end is reached, until Refresh or RemoveAll.
  bool MoveNext();
  // Status of the current record; -1 without one.
  int32_t Status() const;
  // Copies the current record; false without one.
  bool GetCurrent(PortInfo* record) const;

  // Empties the list and puts the cursor before the first record.
  void RemoveAll();
  size_t Count() const { return records_.size(); }

  std::string ResolveAddress(const char* dottedText) { return ports_->ResolveAddress(dottedText); }
  static std::string ServiceName(uint16_t port) { return CPortList::ServiceName(port); }
  bool EndConnection(const char* localAddress, uint16_t localPort, const char* remoteAddress,
                     uint16_t remotePort) {
    return ports_->EndConnection(localAddress, localPort, remoteAddress, remotePort);
  }

  CPortList& ports() { return *ports_; }

 private:
  using Records = std::list<PortInfo>;
  // Identity of a record: process id, both address texts and both ports (not the state).
  struct Key {
    uint32_t processId;
    char localAddress[16];
    char remoteAddress[16];
    uint16_t localPort;
    uint16_t remotePort;
    bool operator==(const Key& other) const;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const;
  };
  static Key KeyOf(const PortInfo& record);

  std::unique_ptr<CPortList> ports_;
  Records records_;
  // Finds the record of a key without walking the list. The list never holds two records with
  // the same key: a repeated row always matches the record the first one made.
  std::unordered_map<Key, Records::iterator, KeyHash> index_;
  int64_t cursor_ = -1;
  Records::iterator current_;
};

}  // namespace qxfw::monitor
