#include "firewall/request_poller.h"

#include "firewall/firewall_driver.h"
#include "platform/debug_output.h"

namespace qxfw::firewall {

CRequestPoller::CRequestPoller(CFirewallDriver& driver, CPendingRequests& pending,
                               PromptOpener openPrompt, TickHook onTick)
    : driver_(driver),
      pending_(pending),
      openPrompt_(std::move(openPrompt)),
      onTick_(std::move(onTick)) {}

bool CRequestPoller::OnPollTimer() {
  if (onTick_) onTick_();
  CNETWORK_REQUEST buffer;
  if (driver_.FetchAndDecide(&buffer) == 0) return false;
  CNETWORK_REQUEST request = buffer;
  platform::DebugOutput("RemotePort : %d, LocalPort : %d, ProcessId : %d", request.remotePort,
                        request.localPort, static_cast<int>(request.processId));
  bool promptOpen = pending_.FindProcess(request.processId) != pending_.End();
  pending_.Append(request);
  if (promptOpen) return true;
  platform::DebugOutput("[QXFW.exe] CFireWallApp::OnPollTimer - RequestType = %d\n",
                        request.requestType);
  if (request.requestType != kRequestUdpSend && request.requestType != kRequestTcpConnect) {
    platform::DebugOutput("[QXFW.exe] CFireWallApp::OnPollTimer - Unknown RequestType.\n");
  }
  if (openPrompt_) openPrompt_(request);
  return true;
}

}  // namespace qxfw::firewall
