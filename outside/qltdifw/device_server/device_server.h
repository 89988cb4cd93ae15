// The device: a Unix stream socket in the runtime folder that one client at a time holds. A
// connecting peer is checked with SO_PEERCRED (root or the recorded user, else
// ERROR_ACCESS_DENIED); while a client holds the device a second one gets
// ERROR_SHARING_VIOLATION, unless the handler lets it take the device over (the first one is
// then ended). Calls are framed as firewall/device_frame.h says and answered in
// order by the CallHandler. A malformed frame, a client that stops reading its answers, or a
// hang-up ends the client (the handler hears of it through OnClientGone). Refused openers are
// logged through a throttle: the first in full, then one count per interval.
// A spare descriptor is kept so that a full descriptor table still lets pending connections be
// accepted and closed, instead of leaving the listener readable for ever.
//
// The handler may keep one call for a later answer (kAnswerLater): the next call the client
// sends first gets that call answered with ERROR_NO_DATA, so answers stay in call order and a
// kept call never holds up another.
// Used by the daemon's one thread; every socket is non-blocking.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firewall/device_frame.h"
#include "log_throttle.h"
#include "platform/file.h"

namespace qltdifw {

// Returned by OnCall for a call answered later through DeviceServer::AnswerKeptCall. Never a
// status on the wire.
inline constexpr uint32_t kAnswerLater = 0xFFFFFFFF;

class CallHandler {
 public:
  virtual ~CallHandler() = default;
  // Answers one call: returns the status and fills output (at most call.outputSize bytes), or
  // returns kAnswerLater to keep it.
  virtual uint32_t OnCall(const qxfw::firewall::DeviceCall& call, std::vector<uint8_t>* output) = 0;
  virtual void OnClientAttached(pid_t pid, uid_t uid) = 0;
  virtual void OnClientGone() = 0;
  // Whether a new opener (with the right credentials) may take the device from the client.
  virtual bool ClientReplaceable() { return false; }
};

class DeviceServer {
 public:
  DeviceServer(CallHandler* handler, uid_t allowedUser) : handler_(handler), user_(allowedUser) {}
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Creates the socket at path (replacing a stale one), mode 0666: anyone may connect, and who
  // may hold the device is decided by the peer credentials checked at accept, which can answer
  // with a status.
  bool Listen(const std::string& path);
  int ListenFd() const { return listener_.Get(); }
  int ClientFd() const { return client_.Get(); }
  bool HasClient() const { return client_.Valid(); }
  // The client's socket wants POLLOUT (answers are waiting to be written).
  bool WantsWrite() const { return !outgoing_.empty(); }

  void OnListenReadable();
  void OnClientReadable();
  void OnClientWritable();
  // Ends the client (as a disconnect would).
  void DropClient(const char* why);
  // Writes the refusals' summary line when one is due (with flush: when anything is counted).
  void Tick(LogThrottle::Clock::time_point now, bool flush = false);
  LogThrottle::Clock::time_point NextTick() const { return refusalLog_.NextDue(); }
  uint64_t Refused() const { return refused_; }

  // A call is kept for a later answer; its output size.
  bool KeepsCall() const { return kept_; }
  uint32_t KeptOutputSize() const { return keptOutputSize_; }
  // Answers the kept call (output cut to its output size).
  void AnswerKeptCall(uint32_t status, const void* output, uint32_t outputLength);

  // Unwritten answer bytes beyond this end a client that does not read.
  static constexpr size_t kMaxOutgoing = 1 << 20;
  // Refused openers are summed up this often.
  static constexpr std::chrono::seconds kRefusalLogInterval{10};

 private:
  void Flush();
  // Accepts one pending connection while the descriptor table is full, and closes it.
  void ShedOne();

  CallHandler* handler_;
  uid_t user_;
  std::string path_;
  qxfw::platform::UniqueFd listener_;
  qxfw::platform::UniqueFd client_;
  std::vector<uint8_t> incoming_;
  std::vector<uint8_t> outgoing_;
  bool kept_ = false;
  uint32_t keptOutputSize_ = 0;
  qxfw::platform::UniqueFd spare_;
  LogThrottle refusalLog_{kRefusalLogInterval};
  uint64_t refused_ = 0;
};

}  // namespace qltdifw
