// qxfwctl: inspect and script the firewall's rule store and the machine's network facts from
// a terminal. Wires the command words to their modules; everything else lives there.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ctl/av_commands.h"
#include "ctl/av_service_commands.h"
#include "ctl/commands.h"
#include "ctl/ctl_support.h"
#include "ctl/firewall_monitor.h"
#include "ctl/json_writer.h"
#include "ctl/program_link.h"

namespace {

constexpr char kHelp[] = R"(usage: qxfwctl COMMAND [ARGUMENTS] [--json]

Rules (the rule data file of the current user; while the firewall program runs, it runs
these commands itself):
  rules list [--json]                  program rules with their policy tables, IP/port rules
  rules add-program allow|block PATH   add a rule for a program (absolute path)
  rules delete-program PATH            delete the rule of a program
  rules add-portip ACTION BEGINPORT ENDPORT BEGINIP ENDIP PROTOCOL DESCRIPTION PORTTYPE
                                       add an IP/port rule: ACTION 1 allow, 0 block; ports
                                       0-65535 (0 0 = no port condition); addresses dotted
                                       (0.0.0.0 0.0.0.0 = no address condition); PROTOCOL 1 TCP,
                                       2 UDP, 4 all; PORTTYPE 1 user, 2 system, 3 hacking tool,
                                       4 address only
  rules delete-portip BEGINPORT ENDPORT BEGINIP ENDIP PROTOCOL
                                       delete the IP/port rule with that key
  level [get | set N]                  security level: 1 Off, 2 Low, 3 Medium, 4 High
  journal [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--json]
                                       the journal of rule changes

The data folder is $QXFW_APPDATA/QOLTEX/Firewall (else $XDG_DATA_HOME, else ~/.local/share).
Exit status: 0 done, 1 the operation failed, 2 bad arguments.
)";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
    std::cout << kHelp << qxfw::ctl::MonitorHelp() << qxfw::ctl::FirewallMonitorHelp()
              << qxfw::ctl::AvHelp() << qxfw::ctl::AvServiceHelp();
    return words.empty() ? 2 : 0;
  }
  std::string error;
  int status = qxfw::ctl::RunStoreCommand(words, std::cout, &error);
  if (status == qxfw::ctl::kStoreHeld) {
    return qxfw::ctl::ForwardToProgram(words, error, std::cout, std::cerr);
  }
  if (status >= 0) {
    if (!error.empty()) std::cerr << "qxfwctl: " << qxfw::ctl::TerminalText(error) << "\n";
    return status;
  }
  std::string command = words[0];
  words.erase(words.begin());
  try {
    if (command == "monitor") return qxfw::ctl::RunFirewallMonitor(words, std::cout);
    int result = qxfw::ctl::RunMonitorCommand(command, words, std::cout);
    if (result >= 0) return result;
    result = qxfw::ctl::RunAvCommand(command, words, std::cout);
    if (result >= 0) return result;
    result = qxfw::ctl::RunAvServiceCommand(command, words, std::cout);
    if (result >= 0) return result;
    throw qxfw::ctl::UsageError("unknown command '" + command + "'; see qxfwctl --help");
  } catch (const qxfw::ctl::UsageError& e) {
    std::cerr << "qxfwctl: " << qxfw::ctl::TerminalText(e.what()) << "\n";
    return 2;
  } catch (const qxfw::ctl::CommandFailed& e) {
    std::cerr << "qxfwctl: " << qxfw::ctl::TerminalText(e.what()) << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "qxfwctl: " << qxfw::ctl::TerminalText(e.what()) << "\n";
    return 1;
  }
}
