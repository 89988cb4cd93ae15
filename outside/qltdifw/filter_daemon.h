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
#include "monitor/sock_diag.h"
#include "nfqueue/iptables_rules.h"
#include "nfqueue/nf_queue.h"
#include "platform/spin_wait.h"
#include "process_index/process_index.h"
#include "socket_owner/packet_owner.h"

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
  bool clientActive_ = false;  // attached and not released
  uint64_t unparsed_ = 0;
};

}  // namespace qltdifw
