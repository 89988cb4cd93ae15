#include "monitor/port_list.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <tuple>

#include "monitor/proc_net.h"
#include "platform/address_text.h"
#include "platform/debug_output.h"

namespace qxfw::monitor {

const char* const g_TcpStateNames[kTcpStateCount] = {
    "InValid",   "Closed",     "Listen",  "Sync Sent", "Sync Rcvd", "Established", "Fin Wait1",
    "Fin Wait2", "Close Wait", "Closing", "Last Ack",  "Time Wait", "Delete TCP"};

namespace {

constexpr char kProcNetTcp[] = "/proc/net/tcp";
constexpr char kProcNetUdp[] = "/proc/net/udp";
constexpr size_t kTcpWords = sizeof(tagTCP_ROW) / sizeof(uint32_t);
constexpr size_t kUdpWords = sizeof(tagUDP_ROW) / sizeof(uint32_t);

std::mutex& HelperMutex() {
  static std::mutex mutex;
  return mutex;
}

CPortList::EndConnectionHelper& Helper() {
  static CPortList::EndConnectionHelper helper;
  return helper;
}

uint32_t NetworkAddressOf(const char* dottedText) {
  return htonl(platform::ParseHostAddress(dottedText));
}

// Rows come out ordered as the sorted system tables were: by local address and port, then by
// remote address and port, all compared as numbers.
auto SortKey(const InetSocketRow& row) {
  return std::make_tuple(ntohl(row.localAddr), ntohs(row.localPort), ntohl(row.remoteAddr),
                         ntohs(row.remotePort), row.inode);
}

}  // namespace

const char* TcpStateName(uint32_t state) {
  return g_TcpStateNames[state < kTcpStateCount ? state : 0];
}

uint32_t TcpStateFromLinux(uint8_t linuxState) {
  // Indexed by the kernel's state number (include/net/tcp_states.h).
  static constexpr uint32_t kMap[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4};
  return linuxState < std::size(kMap) ? kMap[linuxState] : 0;
}

CPortList::CPortList(bool tcp)
    : CPortList(tcp, tcp ? &CIpResolver::Instance() : nullptr, Road::kUnchosen) {}

CPortList::CPortList(bool tcp, CIpResolver* resolver, Road road)
    : tcp_(tcp), resolver_(resolver), road_(road) {}

CPortList::~CPortList() = default;

bool CPortList::ChooseRoadAndRead(std::vector<InetSocketRow>* rows) {
  initialised_ = true;
  if (road_ == Road::kUnchosen) {
    // The first dump both proves the netlink road and gives this refresh its rows.
    diag_ = std::make_unique<SockDiag>();
    if (diag_->Valid() && diag_->Dump(tcp_ ? IPPROTO_TCP : IPPROTO_UDP, rows)) {
      road_ = Road::kSockDiag;
      return true;
    }
    rows->clear();
    road_ = access(tcp_ ? kProcNetTcp : kProcNetUdp, R_OK) == 0 ? Road::kProcNet : Road::kNone;
  }
  if (road_ == Road::kSockDiag && !diag_) diag_ = std::make_unique<SockDiag>();
  if (road_ != Road::kSockDiag) diag_.reset();
  return ReadTable(rows);
}

bool CPortList::ReadTable(std::vector<InetSocketRow>* rows) {
  switch (road_) {
    case Road::kSockDiag:
      return diag_->Dump(tcp_ ? IPPROTO_TCP : IPPROTO_UDP, rows);
    case Road::kProcNet:
      return ReadProcNetTable(tcp_ ? kProcNetTcp : kProcNetUdp, rows);
    default:
      return false;
  }
}

void CPortList::Refresh() {
  std::vector<InetSocketRow> rows;
  bool read = initialised_ ? ReadTable(&rows) : ChooseRoadAndRead(&rows);
  if (!read) rows.clear();
  BuildSnapshot(rows);
  cursor_ = -1;
}

void CPortList::BuildSnapshot(std::vector<InetSocketRow>& rows) {
  std::sort(rows.begin(), rows.end(),
            [](const InetSocketRow& a, const InetSocketRow& b) { return SortKey(a) < SortKey(b); });
  std::vector<uint64_t> inodes;
  inodes.reserve(rows.size());
  for (const InetSocketRow& row : rows) inodes.push_back(row.inode);
  owners_.Find(inodes);

  size_t words = tcp_ ? kTcpWords : kUdpWords;
  snapshot_.assign(1 + rows.size() * words, 0);
  snapshot_[0] = static_cast<uint32_t>(rows.size());
  uint32_t* out = snapshot_.data() + 1;
  for (const InetSocketRow& row : rows) {
    uint32_t pid = owners_.OwnerOf(row.inode);
    if (tcp_) {
      tagTCP_ROW tcp{TcpStateFromLinux(row.linuxState),
                     row.localAddr,
                     row.localPort,
                     row.remoteAddr,
                     row.remotePort,
                     pid};
      std::memcpy(out, &tcp, sizeof(tcp));
    } else {
      tagUDP_ROW udp{row.localAddr, row.localPort, pid};
      std::memcpy(out, &udp, sizeof(udp));
    }
    out += words;
  }
}

bool CPortList::MoveNext() {
  if (cursor_ + 1 >= static_cast<int64_t>(RowCount())) {
    cursor_ = -1;
    return false;
  }
  ++cursor_;
  tagTCP_ROW row;
  if (resolver_ != nullptr && CurrentTcpRow(&row)) {
    resolver_->Queue(row.dwLocalAddr);
    resolver_->Queue(row.dwRemoteAddr);
  }
  return true;
}

bool CPortList::CurrentTcpRow(tagTCP_ROW* row) const {
  if (!tcp_ || cursor_ < 0 || cursor_ >= static_cast<int64_t>(RowCount())) return false;
  std::memcpy(row, snapshot_.data() + 1 + cursor_ * kTcpWords, sizeof(*row));
  return true;
}

bool CPortList::CurrentUdpRow(tagUDP_ROW* row) const {
  if (tcp_ || cursor_ < 0 || cursor_ >= static_cast<int64_t>(RowCount())) return false;
  std::memcpy(row, snapshot_.data() + 1 + cursor_ * kUdpWords, sizeof(*row));
  return true;
}

uint32_t CPortList::ProcessId() const {
  tagTCP_ROW tcp;
  tagUDP_ROW udp;
  if (CurrentTcpRow(&tcp)) return tcp.dwOwningPid;
  if (CurrentUdpRow(&udp)) return udp.dwOwningPid;
  return 0;
}

std::string CPortList::LocalAddress() const {
  tagTCP_ROW tcp;
  tagUDP_ROW udp;
  char text[16] = "";
  if (CurrentTcpRow(&tcp)) {
    platform::NetworkAddressText(tcp.dwLocalAddr, text, sizeof(text));
  } else if (CurrentUdpRow(&udp)) {
    platform::NetworkAddressText(udp.dwLocalAddr, text, sizeof(text));
  }
  return text;
}

std::string CPortList::RemoteAddress() const {
  tagTCP_ROW tcp;
  char text[16] = "";
  if (CurrentTcpRow(&tcp)) platform::NetworkAddressText(tcp.dwRemoteAddr, text, sizeof(text));
  return text;
}

uint16_t CPortList::LocalPort() const {
  tagTCP_ROW tcp;
  tagUDP_ROW udp;
  if (CurrentTcpRow(&tcp)) return ntohs(static_cast<uint16_t>(tcp.dwLocalPort));
  if (CurrentUdpRow(&udp)) return ntohs(static_cast<uint16_t>(udp.dwLocalPort));
  return 0;
}

uint16_t CPortList::RemotePort() const {
  tagTCP_ROW tcp;
  return CurrentTcpRow(&tcp) ? ntohs(static_cast<uint16_t>(tcp.dwRemotePort)) : 0;
}

const char* CPortList::StateName() const {
  tagTCP_ROW tcp;
  return CurrentTcpRow(&tcp) ? TcpStateName(tcp.dwState) : nullptr;
}

std::string CPortList::ResolveAddress(const char* dottedText) {
  if (dottedText == nullptr) return std::string();
  CIpResolver& resolver = resolver_ != nullptr ? *resolver_ : CIpResolver::Instance();
  in_addr parsed{};
  if (inet_pton(AF_INET, dottedText, &parsed) != 1) return dottedText;  // not an address
  uint32_t address = parsed.s_addr;
  if (std::optional<std::string> name = resolver.Lookup(address)) return *name;
  resolver.Queue(address);
  return dottedText;
}

std::string CPortList::ServiceName(uint16_t port) {
  servent entry;
  servent* found = nullptr;
  char buffer[1024];
  if (getservbyport_r(htons(port), nullptr, &entry, buffer, sizeof(buffer), &found) == 0 &&
      found != nullptr && found->s_name != nullptr) {
    return found->s_name;
  }
  return std::to_string(port);
}

void CPortList::SetEndConnectionHelper(EndConnectionHelper helper) {
  std::lock_guard<std::mutex> lock(HelperMutex());
  Helper() = std::move(helper);
}

bool CPortList::EndConnection(const char* localAddress, uint16_t localPort,
                              const char* remoteAddress, uint16_t remotePort) {
  uint32_t local = NetworkAddressOf(localAddress);
  uint32_t remote = NetworkAddressOf(remoteAddress);
  SockDiag diag;
  EndConnectionHelper helper;
  {
    std::lock_guard<std::mutex> lock(HelperMutex());
    helper = Helper();
  }
  // No netlink and nobody to ask: there is no way to end connections at all.
  if (!diag.Valid() && !helper) return false;

  int error =
      diag.Valid() ? diag.Destroy(local, htons(localPort), remote, htons(remotePort)) : EPERM;
  if (error == 0) return true;
  bool mayAsk = error == EPERM || error == EACCES || error == EOPNOTSUPP;
  if (mayAsk && helper && helper(local, htons(localPort), remote, htons(remotePort))) return true;
  platform::DebugOutput("[QXFW]CPortList::EndConnection: Falied to EndConnection");
  return false;
}

}  // namespace qxfw::monitor
