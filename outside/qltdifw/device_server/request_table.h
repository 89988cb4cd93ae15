// The held requests and the failure policy of the daemon, in one place:
//   - no client attached: every packet passes at once;
//   - a request the client does not answer within the hold time-out is dropped and logged;
//   - when the client goes (disconnect or release) its held requests pass;
//   - a retransmitted packet of a held connection joins its request, up to a few packets (one
//     for TCP, whose first SYN is all the connection needs); later ones are dropped, so one flow
//     never fills the kernel's queue; a verdict releases every packet of it (allow: accept;
//     block: reject, so the program learns at once);
//   - a UDP datagram of a flow decided a moment ago gets the same verdict without a new request;
//   - a process or a user with too many requests held gets its new ones refused at once
//     (rejected), so nobody can fill the kernel's queue and wedge or pass everyone else's
//     traffic.
// Knows packets only by their queue ids; the verdicts go out through the Verdicts interface.
// Used by the daemon's one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <unordered_map>
#include <vector>

#include "firewall/device_protocol.h"

namespace qltdifw {

class Verdicts {
 public:
  virtual ~Verdicts() = default;
  virtual void Accept(uint32_t packetId) = 0;
  virtual void Drop(uint32_t packetId) = 0;
  virtual void Reject(uint32_t packetId) = 0;
};

struct FlowKey {
  uint8_t protocol;
  uint32_t localAddr, remoteAddr;
  uint16_t localPort, remotePort;
  auto operator<=>(const FlowKey&) const = default;
};

// How much one requester may hold at once.
struct HoldLimits {
  size_t perProcess = 64;  // held requests of one process
  size_t perUser = 256;    // held requests of one user (all the user's processes)
  size_t tcpPackets = 1;   // packets kept per held TCP request (the first SYN)
  size_t udpPackets = 4;   // datagrams kept per held UDP request
};

class RequestTable {
 public:
  using Clock = std::chrono::steady_clock;
  RequestTable(Verdicts* verdicts, std::chrono::milliseconds holdTimeout, HoldLimits limits = {})
      : verdicts_(verdicts), holdTimeout_(holdTimeout), limits_(limits) {}

  enum class Outcome {
    kPassed,   // no client: accepted
    kJoined,   // a further packet of a held request, kept with it
    kDropped,  // a further packet of a held request beyond what is kept: dropped
    kQueued,   // a new request, waiting to be handed out
    kDecided,  // the flow's recent UDP verdict applied
    kRefused,  // its process or user holds too many requests: rejected at once
  };
  // A new packet of flow, sent by a socket of uid (the kernel's; pid is request.processId, 0
  // when unknown). request holds the record without its handle; the table gives one.
  Outcome Offer(uint32_t packetId, const FlowKey& flow, qxfw::firewall::CNETWORK_REQUEST request,
                uint32_t uid, bool clientAttached, Clock::time_point now);

  // A packet of a flow that has a held request: kept with it (kJoined) or dropped (kDropped).
  // kQueued means the flow has none and nothing was done.
  Outcome TryJoin(uint32_t packetId, const FlowKey& flow);

  // The oldest request not yet handed out; false when none waits.
  bool Next(qxfw::firewall::CNETWORK_REQUEST* request);
  // When the oldest request not yet handed out was queued; Clock::time_point::max() when none.
  Clock::time_point OldestWaiting();
  // Applies a verdict; false when the handle is unknown (answered or timed out).
  bool SetVerdict(uint32_t handle, uint32_t verdict, Clock::time_point now);
  // The client went: every held request passes.
  void ReleaseAll();
  // Drops requests whose hold ran out; returns how many.
  size_t Expire(Clock::time_point now);
  // Time of the next expiry, or Clock::time_point::max().
  Clock::time_point NextDeadline() const;
  size_t Held() const { return held_.size(); }
  // Held requests of one user, and of one process of that user.
  size_t HeldOfUser(uint32_t uid) const;
  size_t HeldOfProcess(uint32_t uid, uint32_t pid) const;
  std::chrono::milliseconds HoldTimeout() const { return holdTimeout_; }
  const HoldLimits& Limits() const { return limits_; }

  // How long a UDP flow's verdict is reused for its next datagrams.
  static constexpr std::chrono::seconds kUdpVerdictTime{30};

 private:
  struct HeldRequest {
    qxfw::firewall::CNETWORK_REQUEST request;
    FlowKey flow;
    uint32_t uid;
    std::vector<uint32_t> packets;
    Clock::time_point queued;
    Clock::time_point deadline;
    bool handedOut = false;
  };
  struct Remembered {
    uint32_t verdict;
    Clock::time_point until;
  };
  void Release(const HeldRequest& held, uint32_t verdict);
  // Forgets a held request: its flow, and its count against its process and user.
  // Returns the next request's iterator.
  std::unordered_map<uint32_t, HeldRequest>::iterator Forget(
      std::unordered_map<uint32_t, HeldRequest>::iterator it);
  static uint64_t ProcessKey(uint32_t uid, uint32_t pid) {
    return (static_cast<uint64_t>(uid) << 32) | pid;
  }

  Verdicts* verdicts_;
  std::chrono::milliseconds holdTimeout_;
  HoldLimits limits_;
  uint32_t nextHandle_ = 1;
  std::unordered_map<uint32_t, HeldRequest> held_;
  std::map<FlowKey, uint32_t> byFlow_;
  std::deque<uint32_t> waiting_;  // handles not yet handed out, oldest first
  std::map<FlowKey, Remembered> udpVerdicts_;
  // Held requests per process (keyed by uid and pid: pid 0, unknown, counts per user) and per
  // user; entries go when their count drops to zero.
  std::unordered_map<uint64_t, uint32_t> perProcess_;
  std::unordered_map<uint32_t, uint32_t> perUser_;
};

}  // namespace qltdifw
