// The daemon's one thread: a poll loop over the queue, the proc connector, the device and the
// stop signals, and the device calls' answers. The road of a packet: NfQueue -> ParsePacket ->
// RequestTable (policy) -> PacketOwnerFinder -> RequestTable -> network event -> device call
// GET_NETWORK_REQUEST -> SET_VERDICT -> RequestTable -> NfQueue verdicts.
#pragma once

#include <memory>

#include "daemon_options.h"
#include "device_server/device_server.h"
#include "device_server/request_table.h"
#include "events/driver_events.h"
#include "log_throttle.h"
#include "monitor/sock_diag.h"
#include "nfqueue/iptables_rules.h"
#include "nfqueue/nf_queue.h"
#include "platform/spin_wait.h"
#include "process_index/process_index.h"
#include "socket_owner/packet_owner.h"
#include "systemd_notify.h"

namespace qltdifw {

class FilterDaemon : public CallHandler, public Verdicts {
 public:
  explicit FilterDaemon(DaemonOptions options);
  ~FilterDaemon() override;

  // Sets everything up; false (logged) when the daemon cannot run.
  bool Start();
  // Runs until SIGTERM, SIGINT or SIGHUP; then removes the rules, passes what is held and
  // removes the socket. Returns the exit status.
  int Run();

  // CallHandler
  uint32_t OnCall(const qxfw::firewall::DeviceCall& call, std::vector<uint8_t>* output) override;
  void OnClientAttached(pid_t pid, uid_t uid) override;
  void OnClientGone() override;
  bool ClientReplaceable() override;
  // Verdicts
  void Accept(uint32_t packetId) override { queue_.Accept(packetId); }
  void Drop(uint32_t packetId) override { queue_.Drop(packetId); }
  void Reject(uint32_t packetId) override { queue_.Reject(packetId); }

 private:
  void OnPacket(const QueuedPacket& packet);
  // The oldest request not handed out, in the form the options name, for a fetch of
  // outputSize bytes: a status, output filled (0 bytes when outputSize is too small).
  uint32_t HandOutRequest(uint32_t outputSize, std::vector<uint8_t>* output);
  void OnExec(pid_t pid);
  // A new connection or flow refused because its process or user holds too many requests.
  void LogRefusal(const qxfw::firewall::CNETWORK_REQUEST& request, uint32_t uid);
  // IOCTL_END_TCP_CONNECTION: aborts the socket when it is the client user's (any for root).
  uint32_t EndConnection(const qxfw::firewall::tagEND_CONNECTION& end);
  // The client has not fetched for the client time-out while requests wait: it is treated as
  // gone (asleep) until it fetches again.
  void CheckClientAlive(RequestTable::Clock::time_point now);
  // A fetch: the client is alive, and filters again if it was asleep.
  void Awake(RequestTable::Clock::time_point now);
  // Summary log lines and the watchdog, once per loop turn; at the end (flush) every summary
  // that has something to say.
  void Tick(RequestTable::Clock::time_point now, bool flush = false);
  // How long the loop may sleep: until the next hold expiry, watchdog ping, summary line or
  // client check, at most a second.
  int PollTimeout(RequestTable::Clock::time_point now);
  bool EnterNetns();
  void LeaveNetns();
  void Shutdown();

  DaemonOptions options_;
  DriverEvents events_;
  ProcessIndex index_;
  NfQueue queue_;
  std::unique_ptr<PacketOwnerFinder> owners_;
  std::unique_ptr<qxfw::monitor::SockDiag> destroyer_;
  std::unique_ptr<IptablesRules> rules_;
  RequestTable table_;
  DeviceServer device_;
  qxfw::platform::UniqueFd signals_;
  qxfw::platform::UniqueFd homeNetns_;
  // After a request is handed out the loop keeps looking for the verdict a little while,
  // when the last verdict came that quickly.
  qxfw::platform::SpinGate verdictSpin_;
  RequestTable::Clock::time_point handedOut_{};
  RequestTable::Clock::time_point spinUntil_{};
  bool clientActive_ = false;  // attached, not released and not asleep
  bool clientAsleep_ = false;  // attached, but let go for not fetching
  pid_t clientPid_ = 0;
  uid_t clientUid_ = 0;
  // The client's last fetch (or its attach): a client that keeps fetching is alive.
  RequestTable::Clock::time_point lastFetch_{};
  uint64_t unparsed_ = 0;
  SystemdNotifier systemd_;
  LogThrottle refusalLog_{std::chrono::seconds(10)};
  LogThrottle unparsedLog_{std::chrono::seconds(10)};
  LogThrottle endRefusalLog_{std::chrono::seconds(10)};
  LogThrottle overrunLog_{std::chrono::seconds(10)};
  uint64_t overrunsLogged_ = 0;
};

}  // namespace qltdifw
