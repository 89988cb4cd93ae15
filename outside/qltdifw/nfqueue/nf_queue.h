// One NFQUEUE queue: receives the queued packets and gives their verdicts. Knows only packets
// and verdicts. The netlink socket belongs to the network namespace of the thread that opens
// the queue. Used by one thread.
#pragma once

#include <cstdint>
#include <functional>

struct nfq_handle;
struct nfq_q_handle;
struct nfgenmsg;
struct nfq_data;

namespace qltdifw {

struct QueuedPacket {
  uint32_t id = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool hasUid = false;
  uint32_t uid = 0;  // owner of the sending socket, from the kernel
};

class NfQueue {
 public:
  using Handler = std::function<void(const QueuedPacket&)>;
  NfQueue() = default;
  ~NfQueue();
  NfQueue(const NfQueue&) = delete;
  NfQueue& operator=(const NfQueue&) = delete;

  // Binds queue number queue, asking for the packets' first kCopyBytes and the socket uid;
  // packets the daemon cannot take (queue or socket buffer full) are dropped by the kernel.
  bool Open(uint16_t queue, Handler handler);
  int Fd() const;
  // Reads what is waiting, at most kBatch messages, and calls the handler for each packet.
  // False on a fatal error.
  bool Receive();
  // How often the socket buffer overflowed (the kernel dropped what it could not deliver).
  uint64_t Overruns() const { return overruns_; }

  static constexpr uint32_t kQueueLength = 4096;  // packets awaiting a verdict
  static constexpr uint32_t kCopyBytes = 128;     // an IPv4 header with options and TCP's
  static constexpr int kBatch = 256;

  void Accept(uint32_t id);
  void Drop(uint32_t id);
  // A repeat with the block mark: the packet goes through the hook again and the reject rule
  // answers it.
  void Reject(uint32_t id);

 private:
  static int OnPacket(nfq_q_handle* queue, ::nfgenmsg* message, ::nfq_data* data, void* self);

  nfq_handle* handle_ = nullptr;
  nfq_q_handle* queue_ = nullptr;
  Handler handler_;
  uint64_t overruns_ = 0;
};

}  // namespace qltdifw
