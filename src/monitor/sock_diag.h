// Kernel socket tables over NETLINK_SOCK_DIAG: the IPv4 TCP and UDP dumps of the connection
// table and SOCK_DESTROY for ending one TCP connection.
//
// Used by CPortList (owner-aware road, EndConnection). One SockDiag object owns one netlink
// socket and is used by one thread at a time; separate objects are independent.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/file.h"

namespace qxfw::monitor {

// One IPv4 socket as the kernel lists it. Addresses and ports are in network byte order, as
// they travel on the wire; linuxState is the kernel's TCP state number (TCP_ESTABLISHED = 1 ...
// TCP_NEW_SYN_RECV = 12; unconnected UDP sockets report TCP_CLOSE = 7). An inode of 0 means the
// socket has no file any more (time-wait, request sockets) and so no owner.
struct InetSocketRow {
  uint32_t localAddr = 0;
  uint32_t remoteAddr = 0;
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
  uint8_t linuxState = 0;
  uint64_t inode = 0;
  uint64_t cookie = 0;  // the kernel's name of this very socket, for Destroy
};

class SockDiag {
 public:
  // Opens the netlink socket; Valid() tells whether that worked.
  SockDiag();
  SockDiag(const SockDiag&) = delete;
  SockDiag& operator=(const SockDiag&) = delete;

  bool Valid() const { return fd_.Valid(); }

  // Appends every IPv4 socket of protocol (IPPROTO_TCP in every state, or IPPROTO_UDP) to rows.
  // Returns false when the dump cannot be sent, is cut short or the kernel answers with an
  // error; rows may then hold part of the table.
  bool Dump(int protocol, std::vector<InetSocketRow>* rows);

  // Looks up the one IPv4 socket of protocol with this local and remote end (network byte
  // order), as the kernel would deliver to it; fills *row and *uid. For UDP the kernel matches
  // unconnected sockets too (remote end wildcard). Returns 0, or an errno value (ENOENT when
  // there is no such socket).
  int Lookup(int protocol, uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
             uint16_t remotePort, InetSocketRow* row, uint32_t* uid);

  // Asks the kernel to abort the IPv4 TCP socket with this local and remote end (network byte
  // order), which resets the connection for the peer. Returns 0 on success, else an errno
  // value: EPERM without CAP_NET_ADMIN, EOPNOTSUPP when the kernel lacks the destroy request,
  // ENOENT when no such socket exists. With a cookie (InetSocketRow::cookie from a Lookup) only
  // that very socket is aborted: ESTALE when another has taken its ends since.
  static constexpr uint64_t kAnySocket = ~0ull;
  int Destroy(uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr, uint16_t remotePort,
              uint64_t cookie = kAnySocket);

 private:
  bool Send(const void* request, size_t size);

  platform::UniqueFd fd_;
  uint32_t sequence_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace qxfw::monitor
