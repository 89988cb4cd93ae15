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

  // Binds queue number queue, asking for whole packets and the socket uid; packets the daemon
  // cannot take (queue full) pass instead of being dropped.
  bool Open(uint16_t queue, Handler handler);
  int Fd() const;
  // Reads what is waiting and calls the handler for each packet. False on a fatal error.
  bool Receive();

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
};

}  // namespace qltdifw
