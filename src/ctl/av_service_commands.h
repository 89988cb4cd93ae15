// qxfwctl's antivirus service commands: quarantine list|restore|delete and update, through
// the exports of libqxav.so loaded by name from the antivirus folder, as the firewall program
// loads it. Single-threaded.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qxfw::ctl {

// Runs "quarantine" or "update"; -1 when command is neither.
int RunAvServiceCommand(const std::string& command, const std::vector<std::string>& words,
                        std::ostream& out);
const char* AvServiceHelp();

}  // namespace qxfw::ctl
