#include "device_server/request_table.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include "platform/debug_output.h"

namespace qltdifw {

using qxfw::firewall::CNETWORK_REQUEST;
using qxfw::firewall::kVerdictAllow;
using qxfw::firewall::kVerdictBlock;

RequestTable::Outcome RequestTable::Offer(uint32_t packetId, const FlowKey& flow,
                                          CNETWORK_REQUEST request, uint32_t uid,
                                          bool clientAttached, Clock::time_point now) {
  if (!clientAttached) {
    verdicts_->Accept(packetId);
    return Outcome::kPassed;
  }
  Outcome joined = TryJoin(packetId, flow);
  if (joined != Outcome::kQueued) return joined;
  if (flow.protocol == IPPROTO_UDP) {
    auto known = udpVerdicts_.find(flow);
    if (known != udpVerdicts_.end()) {
      if (known->second.until > now) {
        if (known->second.verdict == kVerdictAllow) {
          verdicts_->Accept(packetId);
        } else {
          verdicts_->Reject(packetId);
        }
        return Outcome::kDecided;
      }
      udpVerdicts_.erase(known);
    }
  }
  uint64_t processKey = ProcessKey(uid, request.processId);
  if (HeldOfUser(uid) >= limits_.perUser ||
      HeldOfProcess(uid, request.processId) >= limits_.perProcess) {
    verdicts_->Reject(packetId);
    return Outcome::kRefused;
  }
  // Handles stay unique among held requests; 0 is never given.
  uint32_t handle;
  do {
    handle = nextHandle_++;
  } while (handle == 0 || held_.count(handle) != 0);
  request.requestHandle = handle;
  held_[handle] = HeldRequest{request, flow, uid, {packetId}, now, now + holdTimeout_, false};
  byFlow_[flow] = handle;
  waiting_.push_back(handle);
  ++perProcess_[processKey];
  ++perUser_[uid];
  return Outcome::kQueued;
}

RequestTable::Outcome RequestTable::TryJoin(uint32_t packetId, const FlowKey& flow) {
  auto joined = byFlow_.find(flow);
  if (joined == byFlow_.end()) return Outcome::kQueued;
  std::vector<uint32_t>& packets = held_[joined->second].packets;
  size_t keep = flow.protocol == IPPROTO_TCP ? limits_.tcpPackets : limits_.udpPackets;
  if (packets.size() >= keep) {
    // The request holds what the flow needs; a retransmission would only take a queue slot.
    verdicts_->Drop(packetId);
    return Outcome::kDropped;
  }
  packets.push_back(packetId);
  return Outcome::kJoined;
}

bool RequestTable::Next(CNETWORK_REQUEST* request) {
  while (!waiting_.empty()) {
    uint32_t handle = waiting_.front();
    waiting_.pop_front();
    auto it = held_.find(handle);
    if (it == held_.end()) continue;  // expired meanwhile
    it->second.handedOut = true;
    *request = it->second.request;
    return true;
  }
  return false;
}

RequestTable::Clock::time_point RequestTable::OldestWaiting() {
  while (!waiting_.empty()) {
    auto it = held_.find(waiting_.front());
    if (it != held_.end()) return it->second.queued;
    waiting_.pop_front();  // answered or expired before it was handed out
  }
  return Clock::time_point::max();
}

void RequestTable::Release(const HeldRequest& held, uint32_t verdict) {
  for (uint32_t packet : held.packets) {
    if (verdict == kVerdictAllow) {
      verdicts_->Accept(packet);
    } else {
      verdicts_->Reject(packet);
    }
  }
}

std::unordered_map<uint32_t, RequestTable::HeldRequest>::iterator RequestTable::Forget(
    std::unordered_map<uint32_t, HeldRequest>::iterator it) {
  const HeldRequest& held = it->second;
  byFlow_.erase(held.flow);
  auto process = perProcess_.find(ProcessKey(held.uid, held.request.processId));
  if (process != perProcess_.end() && --process->second == 0) perProcess_.erase(process);
  auto user = perUser_.find(held.uid);
  if (user != perUser_.end() && --user->second == 0) perUser_.erase(user);
  return held_.erase(it);
}

bool RequestTable::SetVerdict(uint32_t handle, uint32_t verdict, Clock::time_point now) {
  auto it = held_.find(handle);
  if (it == held_.end()) return false;
  uint32_t effective = verdict == kVerdictAllow ? kVerdictAllow : kVerdictBlock;
  Release(it->second, effective);
  if (it->second.flow.protocol == IPPROTO_UDP) {
    udpVerdicts_[it->second.flow] = Remembered{effective, now + kUdpVerdictTime};
    if (udpVerdicts_.size() > 4096) udpVerdicts_.erase(udpVerdicts_.begin());
  }
  Forget(it);
  return true;
}

void RequestTable::ReleaseAll() {
  for (auto& [handle, held] : held_) Release(held, kVerdictAllow);
  if (!held_.empty()) {
    syslog(LOG_NOTICE, "client gone: %zu held requests passed", held_.size());
  }
  held_.clear();
  byFlow_.clear();
  waiting_.clear();
  udpVerdicts_.clear();
  perProcess_.clear();
  perUser_.clear();
}

size_t RequestTable::Expire(Clock::time_point now) {
  size_t expired = 0;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->second.deadline > now) {
      ++it;
      continue;
    }
    const CNETWORK_REQUEST& r = it->second.request;
    in_addr remote{r.remoteAddress};
    syslog(LOG_WARNING, "request %u of pid %u to %s:%u not answered in time: dropped",
           r.requestHandle, r.processId, inet_ntoa(remote), ntohs(r.remotePort));
    for (uint32_t packet : it->second.packets) verdicts_->Drop(packet);
    it = Forget(it);
    ++expired;
  }
  return expired;
}

RequestTable::Clock::time_point RequestTable::NextDeadline() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [handle, held] : held_) next = std::min(next, held.deadline);
  return next;
}

size_t RequestTable::HeldOfUser(uint32_t uid) const {
  auto it = perUser_.find(uid);
  return it == perUser_.end() ? 0 : it->second;
}

size_t RequestTable::HeldOfProcess(uint32_t uid, uint32_t pid) const {
  auto it = perProcess_.find(ProcessKey(uid, pid));
  return it == perProcess_.end() ? 0 : it->second;
}

}  // namespace qltdifw
