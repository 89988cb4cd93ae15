// qxfwctl's antivirus commands: "scan" and "av" (info, wrap, default), over libqxav.so loaded
// by name from the antivirus folder.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qxfw::ctl {

// Returns -1 when command is not one of these.
int RunAvCommand(const std::string& command, const std::vector<std::string>& words,
                 std::ostream& out);
const char* AvHelp();

// The product's own small database (ClamAV body signatures), embedded in the tool.
extern const char kDefaultDatabase[];

}  // namespace qxfw::ctl
