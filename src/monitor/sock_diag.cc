#include "monitor/sock_diag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace qxfw::monitor {
namespace {

// Kernel dump messages are at most a few pages each; a larger receive buffer only saves calls.
constexpr size_t kReceiveBuffer = 256 * 1024;

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// An IPv4 request of type for the protocol's sockets in every state (request sockets included).
DiagRequest NewRequest(uint16_t type, uint16_t flags, uint32_t sequence, uint8_t protocol) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  request.header.nlmsg_seq = sequence;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = protocol;
  request.body.idiag_states = ~0u;
  return request;
}

// Names one socket by its two ends, as the kernel's exact lookup wants them.
void SetEnds(DiagRequest* request, uint32_t srcAddr, uint16_t srcPort, uint32_t dstAddr,
             uint16_t dstPort) {
  request->body.id.idiag_src[0] = srcAddr;
  request->body.id.idiag_sport = srcPort;
  request->body.id.idiag_dst[0] = dstAddr;
  request->body.id.idiag_dport = dstPort;
  request->body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request->body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
}

InetSocketRow RowOf(const inet_diag_msg& socket) {
  InetSocketRow row;
  row.localAddr = socket.id.idiag_src[0];
  row.remoteAddr = socket.id.idiag_dst[0];
  row.localPort = socket.id.idiag_sport;
  row.remotePort = socket.id.idiag_dport;
  row.linuxState = socket.idiag_state;
  row.inode = socket.idiag_inode;
  row.cookie = (static_cast<uint64_t>(socket.id.idiag_cookie[1]) << 32) | socket.id.idiag_cookie[0];
  return row;
}

// Reads the kernel's answers to the request numbered sequence until one settles it: an error
// message gives its error (ackResult for a plain acknowledgement), a socket message gives
// what onSocket returns unless that is -1 (read on). Returns an errno value or 0.
template <typename OnSocket>
int AwaitAnswer(int fd, std::vector<unsigned char>& buffer, uint32_t sequence, int ackResult,
                OnSocket onSocket) {
  for (;;) {
    ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (received == 0) return EIO;
    int left = static_cast<int>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_seq != sequence) continue;
      if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EIO;
        int error = static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
        return error < 0 ? -error : (error == 0 ? ackResult : error);
      }
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return EIO;
      int settled = onSocket(*static_cast<const inet_diag_msg*>(NLMSG_DATA(header)));
      if (settled != -1) return settled;
    }
  }
}

}  // namespace

SockDiag::SockDiag()
    : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)),
      buffer_(kReceiveBuffer) {}

bool SockDiag::Send(const void* request, size_t size) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    ssize_t sent =
        ::sendto(fd_.Get(), request, size, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
    if (sent == static_cast<ssize_t>(size)) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

bool SockDiag::Dump(int protocol, std::vector<InetSocketRow>* rows) {
  if (!Valid()) return false;
  DiagRequest request =
      NewRequest(SOCK_DIAG_BY_FAMILY, NLM_F_DUMP, ++sequence_, static_cast<uint8_t>(protocol));
  if (!Send(&request, sizeof(request))) return false;

  for (;;) {
    iovec io{buffer_.data(), buffer_.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    ssize_t received = ::recvmsg(fd_.Get(), &message, 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (received == 0 || (message.msg_flags & MSG_TRUNC) != 0) return false;

    int left = static_cast<int>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer_.data()); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_seq != request.header.nlmsg_seq) continue;
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) return false;
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
      const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      if (socket->idiag_family != AF_INET) continue;
      rows->push_back(RowOf(*socket));
    }
  }
}

int SockDiag::Lookup(int protocol, uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                     uint16_t remotePort, InetSocketRow* row, uint32_t* uid) {
  if (!Valid()) return EBADF;
  DiagRequest request =
      NewRequest(SOCK_DIAG_BY_FAMILY, 0, ++sequence_, static_cast<uint8_t>(protocol));
  // The kernel's UDP lookup takes the ends as a received datagram has them: source is the
  // remote end. TCP takes them from the socket's side.
  bool udp = protocol == IPPROTO_UDP;
  if (udp) {
    SetEnds(&request, remoteAddr, remotePort, localAddr, localPort);
  } else {
    SetEnds(&request, localAddr, localPort, remoteAddr, remotePort);
  }
  if (!Send(&request, sizeof(request))) return errno != 0 ? errno : EIO;
  // An acknowledgement without a socket means there is none.
  return AwaitAnswer(fd_.Get(), buffer_, request.header.nlmsg_seq, ENOENT,
                     [&](const inet_diag_msg& socket) {
                       *row = RowOf(socket);
                       *uid = socket.idiag_uid;
                       return 0;
                     });
}

int SockDiag::Destroy(uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                      uint16_t remotePort, uint64_t cookie) {
  if (!Valid()) return EBADF;
  DiagRequest request = NewRequest(SOCK_DESTROY, NLM_F_ACK, ++sequence_, IPPROTO_TCP);
  SetEnds(&request, localAddr, localPort, remoteAddr, remotePort);
  if (cookie != kAnySocket) {
    request.body.id.idiag_cookie[0] = static_cast<uint32_t>(cookie);
    request.body.id.idiag_cookie[1] = static_cast<uint32_t>(cookie >> 32);
  }
  if (!Send(&request, sizeof(request))) return errno != 0 ? errno : EIO;
  return AwaitAnswer(fd_.Get(), buffer_, request.header.nlmsg_seq, 0,
                     [](const inet_diag_msg&) { return -1; });
}

}  // namespace qxfw::monitor
