// The command modules of qxfwctl, as main dispatches to them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ctl/rules_commands.h"

namespace qxfw::ctl {

// Runs a command over the machine's monitors (connections, processes, shares, whois,
// traffic, fileinfo); returns -1 when command is not one of them.
int RunMonitorCommand(const std::string& command, const std::vector<std::string>& words,
                      std::ostream& out);
// The help text of those commands.
const char* MonitorHelp();

}  // namespace qxfw::ctl
