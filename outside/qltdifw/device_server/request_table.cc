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
                                          CNETWORK_REQUEST request, bool clientAttached,
                                          Clock::time_point now) {
  if (!clientAttached) {
    verdicts_->Accept(packetId);
    return Outcome::kPassed;
  }
  if (TryJoin(packetId, flow)) return Outcome::kJoined;
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
  // Handles stay unique among held requests; 0 is never given.
  uint32_t handle;
  do {
    handle = nextHandle_++;
  } while (handle == 0 || held_.count(handle) != 0);
  request.requestHandle = handle;
  held_[handle] = HeldRequest{request, flow, {packetId}, now + holdTimeout_, false};
  byFlow_[flow] = handle;
  waiting_.push_back(handle);
  return Outcome::kQueued;
}

bool RequestTable::TryJoin(uint32_t packetId, const FlowKey& flow) {
  auto joined = byFlow_.find(flow);
  if (joined == byFlow_.end()) return false;
  held_[joined->second].packets.push_back(packetId);
  return true;
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

void RequestTable::Release(const HeldRequest& held, uint32_t verdict) {
  for (uint32_t packet : held.packets) {
    if (verdict == kVerdictAllow) {
      verdicts_->Accept(packet);
    } else {
      verdicts_->Reject(packet);
    }
  }
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
  byFlow_.erase(it->second.flow);
  held_.erase(it);
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
    byFlow_.erase(it->second.flow);
    it = held_.erase(it);
    ++expired;
  }
  return expired;
}

RequestTable::Clock::time_point RequestTable::NextDeadline() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [handle, held] : held_) next = std::min(next, held.deadline);
  return next;
}

}  // namespace qltdifw
