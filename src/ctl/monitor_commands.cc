#include "ctl/commands.h"

namespace qxfw::ctl {

int RunMonitorCommand(const std::string&, const std::vector<std::string>&, std::ostream&) {
  return -1;
}

const char* MonitorHelp() {
  return "";
}

}  // namespace qxfw::ctl
