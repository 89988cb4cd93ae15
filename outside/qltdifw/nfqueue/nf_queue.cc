#include "nfqueue/nf_queue.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netfilter.h>
#include <sys/socket.h>

#include <cstring>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

#include "nfqueue/iptables_rules.h"
#include "platform/debug_output.h"

namespace qltdifw {

NfQueue::~NfQueue() {
  if (queue_ != nullptr) nfq_destroy_queue(queue_);
  if (handle_ != nullptr) nfq_close(handle_);
}

bool NfQueue::Open(uint16_t queue, Handler handler) {
  handler_ = std::move(handler);
  handle_ = nfq_open();
  if (handle_ == nullptr) return false;
  queue_ = nfq_create_queue(handle_, queue, &NfQueue::OnPacket, this);
  if (queue_ == nullptr) {
    qxfw::platform::DebugOutput("[QLTDIFW] queue %u cannot be bound: %s", queue,
                                std::strerror(errno));
    return false;
  }
  // The headers are all the daemon reads; a short copy keeps a burst of large datagrams from
  // filling the socket buffer.
  if (nfq_set_mode(queue_, NFQNL_COPY_PACKET, kCopyBytes) < 0) return false;
  // No fail-open: a packet the queue or the socket cannot take is dropped, never passed unasked
  // (the sender retries). A daemon that is not there is covered by the rule's bypass.
  uint32_t flags = NFQA_CFG_F_UID_GID | NFQA_CFG_F_FAIL_OPEN;
  if (nfq_set_queue_flags(queue_, flags, NFQA_CFG_F_UID_GID) < 0) return false;
  nfq_set_queue_maxlen(queue_, kQueueLength);
  // A receive buffer that holds a full queue's messages rides out bursts of connection attempts.
  int size = 4 << 20;
  setsockopt(nfq_fd(handle_), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
  return true;
}

int NfQueue::Fd() const {
  return handle_ != nullptr ? nfq_fd(handle_) : -1;
}

bool NfQueue::Receive() {
  alignas(8) static char buffer[0x10000 + 4096];
  // A bounded batch: under a flood the loop still gets to the device and the time-outs.
  for (int taken = 0; taken < kBatch;) {
    ssize_t n = recv(nfq_fd(handle_), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return true;
      // Packets were lost to a full socket buffer: the kernel dropped them.
      if (errno == ENOBUFS) {
        ++overruns_;
        continue;
      }
      return false;
    }
    nfq_handle_packet(handle_, buffer, static_cast<int>(n));
    ++taken;
  }
  return true;
}

int NfQueue::OnPacket(nfq_q_handle*, nfgenmsg*, nfq_data* data, void* self) {
  auto* queue = static_cast<NfQueue*>(self);
  QueuedPacket packet;
  nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
  if (header == nullptr) return 0;
  packet.id = ntohl(header->packet_id);
  unsigned char* payload = nullptr;
  int length = nfq_get_payload(data, &payload);
  if (length > 0) {
    packet.data = payload;
    packet.size = static_cast<size_t>(length);
  }
  uint32_t uid = 0;
  if (nfq_get_uid(data, &uid) > 0) {
    packet.hasUid = true;
    packet.uid = uid;
  }
  queue->handler_(packet);
  return 0;
}

void NfQueue::Accept(uint32_t id) {
  nfq_set_verdict(queue_, id, NF_ACCEPT, 0, nullptr);
}

void NfQueue::Drop(uint32_t id) {
  nfq_set_verdict(queue_, id, NF_DROP, 0, nullptr);
}

void NfQueue::Reject(uint32_t id) {
  nfq_set_verdict2(queue_, id, NF_REPEAT, kBlockMark, 0, nullptr);
}

}  // namespace qltdifw
