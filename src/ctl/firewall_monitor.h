// qxfwctl monitor: the headless host of the firewall core. Opens the filter device as the
// program does, runs the same poll handler and notifier, decides each request from the rules
// and the security level, answers undecided requests as told and prints one line per request.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "firewall/access_decision.h"
#include "firewall/device_protocol.h"

namespace qxfw::ctl {

// How undecided requests are answered.
enum class UndecidedAnswer { kAllow, kBlock, kHold };

// Runs until SIGINT or SIGTERM; returns the exit status.
int RunFirewallMonitor(const std::vector<std::string>& words, std::ostream& out);
const char* FirewallMonitorHelp();

// One output line (without its newline). verdict is "allow", "block" or "pending".
std::string MonitorLine(const firewall::CNETWORK_REQUEST& request,
                        const firewall::RequestProgram& program,
                        const firewall::DecisionResult& result, const std::string& verdict,
                        bool json);

}  // namespace qxfw::ctl
