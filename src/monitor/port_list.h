// CPortList: one snapshot of the machine's IPv4 TCP connections and listeners, or of its IPv4
// UDP endpoints, each with the process that owns it, walked row by row; and ending one TCP
// connection.
//
// Used by CMngPortList (network view, process properties). The data comes by one of two roads,
// chosen on the first refresh for the object's lifetime:
//   - the owner-aware road: sock_diag netlink dumps (TCP in every state, or UDP);
//   - the fallback road: the text tables /proc/net/tcp and /proc/net/udp.
// Both take owners from the socket inodes (SocketOwner); a socket whose holder cannot be read
// (another user's process, time-wait and request sockets) has owner 0. With neither road a
// refresh yields an empty list.
//
// Linux TCP states map to the table's state values as follows:
//   TCP_ESTABLISHED 1 -> 5 "Established"   TCP_CLOSE 7      -> 1 "Closed"
//   TCP_SYN_SENT 2    -> 3 "Sync Sent"     TCP_CLOSE_WAIT 8 -> 8 "Close Wait"
//   TCP_SYN_RECV 3    -> 4 "Sync Rcvd"     TCP_LAST_ACK 9   -> 10 "Last Ack"
//   TCP_FIN_WAIT1 4   -> 6 "Fin Wait1"     TCP_LISTEN 10    -> 2 "Listen"
//   TCP_FIN_WAIT2 5   -> 7 "Fin Wait2"     TCP_CLOSING 11   -> 9 "Closing"
//   TCP_TIME_WAIT 6   -> 11 "Time Wait"    TCP_NEW_SYN_RECV 12 -> 4 "Sync Rcvd"
//   anything else     -> 0 "InValid"
// Value 12 "Delete TCP" names the request to end a connection; no socket reports it.
//
// Threading: a CPortList belongs to the user-interface thread. Its only shared state is the
// resolver cache (CIpResolver), which MoveNext feeds and ResolveAddress reads; neither waits on
// the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/ip_resolver.h"
#include "monitor/sock_diag.h"
#include "monitor/socket_owner.h"

namespace qxfw::monitor {

// State names indexed by state value.
inline constexpr int kTcpStateCount = 13;
extern const char* const g_TcpStateNames[kTcpStateCount];
inline constexpr uint32_t kTcpStateDeleteTcb = 12;

// The name of a state value; "InValid" for a value outside the table.
const char* TcpStateName(uint32_t state);
// The state value of a Linux TCP state number (see the table above).
uint32_t TcpStateFromLinux(uint8_t linuxState);

// Snapshot rows. Addresses are IPv4 in network byte order; ports are in network byte order in
// the low 16 bits of their word.
struct tagTCP_ROW {
  uint32_t dwState;
  uint32_t dwLocalAddr;
  uint32_t dwLocalPort;
  uint32_t dwRemoteAddr;
  uint32_t dwRemotePort;
  uint32_t dwOwningPid;
};
static_assert(sizeof(tagTCP_ROW) == 24);
static_assert(offsetof(tagTCP_ROW, dwLocalAddr) == 4 && offsetof(tagTCP_ROW, dwRemoteAddr) == 12);
static_assert(offsetof(tagTCP_ROW, dwOwningPid) == 20);

struct tagUDP_ROW {
  uint32_t dwLocalAddr;
  uint32_t dwLocalPort;
  uint32_t dwOwningPid;
};
static_assert(sizeof(tagUDP_ROW) == 12);
static_assert(offsetof(tagUDP_ROW, dwLocalPort) == 4 && offsetof(tagUDP_ROW, dwOwningPid) == 8);

class CPortList {
 public:
  enum class Road { kUnchosen, kSockDiag, kProcNet, kNone };

  // Asks for a connection to be ended by someone who may (the filter daemon) when this
  // process lacks the right. Arguments as SockDiag::Destroy; returns true when it was ended.
  using EndConnectionHelper = std::function<bool(uint32_t localAddr, uint16_t localPort,
                                                 uint32_t remoteAddr, uint16_t remotePort)>;

  // tcp true: a TCP list that feeds the process-wide resolver; false: a UDP list.
  explicit CPortList(bool tcp);
  // For tests: a list with the given resolver (may be null) and, unless kUnchosen, a fixed road.
  CPortList(bool tcp, CIpResolver* resolver, Road road);
  ~CPortList();
  CPortList(const CPortList&) = delete;
  CPortList& operator=(const CPortList&) = delete;

  // Takes a new snapshot of the list's kind and puts the cursor before the first row. A failing
  // table query gives an empty snapshot; the next refresh tries again.
  void Refresh();

  // Advances the cursor; false (cursor back before the first row) when the end is passed. A TCP
  // list queues the local and the remote address of each row reached with its resolver.
  bool MoveNext();

  // The current row. Without a current row: 0, empty texts, no state name.
  uint32_t ProcessId() const;
  std::string LocalAddress() const;
  std::string RemoteAddress() const;  // UDP: empty
  uint16_t LocalPort() const;         // host byte order
  uint16_t RemotePort() const;        // host byte order; UDP: 0
  const char* StateName() const;      // UDP: null

  // A display name for a dotted address text: the name the resolver has found, or the text
  // itself while there is none (the address is then queued) or when it is not an address.
  // Never waits on the network: a list without a resolver of its own (UDP) asks the
  // process-wide one.
  std::string ResolveAddress(const char* dottedText);

  // The services database's name of a TCP/UDP port (host byte order), or its decimal number.
  static std::string ServiceName(uint16_t port);

  // Ends one TCP connection, given as it appears in the table (ports in host byte order).
  // Returns true when the kernel (or the helper) ended it.
  bool EndConnection(const char* localAddress, uint16_t localPort, const char* remoteAddress,
                     uint16_t remotePort);
  // Installs the process-wide helper for EndConnection (an empty function removes it).
  static void SetEndConnectionHelper(EndConnectionHelper helper);

  bool IsTcp() const { return tcp_; }
  Road road() const { return road_; }
  // The snapshot as laid out for walkers: u32 row count, then rows of six (TCP) or three (UDP)
  // u32 words, see tagTCP_ROW and tagUDP_ROW.
  const std::vector<uint32_t>& Snapshot() const { return snapshot_; }
  uint32_t RowCount() const { return snapshot_.empty() ? 0 : snapshot_[0]; }

 private:
  // First refresh: fixes the road and reads the table by it.
  bool ChooseRoadAndRead(std::vector<InetSocketRow>* rows);
  bool ReadTable(std::vector<InetSocketRow>* rows);
  void BuildSnapshot(std::vector<InetSocketRow>& rows);
  bool CurrentTcpRow(tagTCP_ROW* row) const;
  bool CurrentUdpRow(tagUDP_ROW* row) const;

  const bool tcp_;
  CIpResolver* const resolver_;
  bool initialised_ = false;
  Road road_;
  std::unique_ptr<SockDiag> diag_;
  SocketOwner owners_;
  std::vector<uint32_t> snapshot_;
  int64_t cursor_ = -1;
};

}  // namespace qxfw::monitor
