// The held requests and the failure policy of the daemon, in one place:
//   - no client attached: every packet passes at once;
//   - a request the client does not answer within the hold time-out is dropped and logged;
//   - when the client goes (disconnect or release) its held requests pass;
//   - a retransmitted packet of a held connection joins its request; a verdict releases every
//     packet of it (allow: accept; block: reject, so the program learns at once);
//   - a UDP datagram of a flow decided a moment ago gets the same verdict without a new request.
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

class RequestTable {
 public:
  using Clock = std::chrono::steady_clock;
  RequestTable(Verdicts* verdicts, std::chrono::milliseconds holdTimeout)
      : verdicts_(verdicts), holdTimeout_(holdTimeout) {}

  enum class Outcome { kPassed, kJoined, kQueued, kDecided };
  // A new packet of flow. request holds the record without its handle; the table gives one.
  Outcome Offer(uint32_t packetId, const FlowKey& flow, qxfw::firewall::CNETWORK_REQUEST request,
                bool clientAttached, Clock::time_point now);

  // Adds the packet to the held request of its flow; false when the flow has none.
  bool TryJoin(uint32_t packetId, const FlowKey& flow);

  // The oldest request not yet handed out; false when none waits.
  bool Next(qxfw::firewall::CNETWORK_REQUEST* request);
  // Applies a verdict; false when the handle is unknown (answered or timed out).
  bool SetVerdict(uint32_t handle, uint32_t verdict, Clock::time_point now);
  // The client went: every held request passes.
  void ReleaseAll();
  // Drops requests whose hold ran out; returns how many.
  size_t Expire(Clock::time_point now);
  // Time of the next expiry, or Clock::time_point::max().
  Clock::time_point NextDeadline() const;
  size_t Held() const { return held_.size(); }
  std::chrono::milliseconds HoldTimeout() const { return holdTimeout_; }

  // How long a UDP flow's verdict is reused for its next datagrams.
  static constexpr std::chrono::seconds kUdpVerdictTime{30};

 private:
  struct HeldRequest {
    qxfw::firewall::CNETWORK_REQUEST request;
    FlowKey flow;
    std::vector<uint32_t> packets;
    Clock::time_point deadline;
    bool handedOut = false;
  };
  struct Remembered {
    uint32_t verdict;
    Clock::time_point until;
  };
  void Release(const HeldRequest& held, uint32_t verdict);

  Verdicts* verdicts_;
  std::chrono::milliseconds holdTimeout_;
  uint32_t nextHandle_ = 1;
  std::unordered_map<uint32_t, HeldRequest> held_;
  std::map<FlowKey, uint32_t> byFlow_;
  std::deque<uint32_t> waiting_;  // handles not yet handed out, oldest first
  std::map<FlowKey, Remembered> udpVerdicts_;
};

}  // namespace qltdifw
