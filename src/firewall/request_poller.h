// CRequestPoller: the body of the poll handler, driven by the host's own timer (the windowed
// program's poll timer and notifier posts, or the headless host's event loop).
//
// One tick: the host's presence check, one fetch and decision, and for an undecided request
// its place in the pending list; the first pending request of a process opens a prompt, later
// ones of the same process wait for that prompt's answer. Runs on the user-interface thread.
#pragma once

#include <functional>

#include "firewall/device_protocol.h"
#include "firewall/pending_list.h"

namespace qxfw::firewall {

class CFirewallDriver;

using CPendingRequests = CPendingList<CNETWORK_REQUEST>;

class CRequestPoller {
 public:
  // Opens the prompt for the first pending request of a process.
  using PromptOpener = std::function<void(const CNETWORK_REQUEST& request)>;
  // Runs first on every tick (the companion presence check of the windowed program).
  using TickHook = std::function<void()>;

  CRequestPoller(CFirewallDriver& driver, CPendingRequests& pending, PromptOpener openPrompt,
                 TickHook onTick = nullptr);

  // One tick. Returns true when a request was fetched and left undecided.
  bool OnPollTimer();

 private:
  CFirewallDriver& driver_;
  CPendingRequests& pending_;
  PromptOpener openPrompt_;
  TickHook onTick_;
};

}  // namespace qxfw::firewall
