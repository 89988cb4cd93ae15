// qxfwctl: inspect and script the firewall's rule store and the machine's network facts from
// a terminal. Wires the command words to their modules; everything else lives there.
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "ctl/av_commands.h"
#include "ctl/av_service_commands.h"
#include "ctl/command_help.h"
#include "ctl/commands.h"
#include "ctl/ctl_support.h"
#include "ctl/firewall_monitor.h"
#include "ctl/json_writer.h"
#include "ctl/program_link.h"

namespace {

// "qxfwctl help [COMMAND]", "qxfwctl --help" and "qxfwctl COMMAND ... --help".
int Help(const std::string& command) {
  if (command.empty()) {
    std::cout << qxfw::ctl::OverviewHelp();
    return 0;
  }
  if (std::optional<std::string> text = qxfw::ctl::CommandHelp(command)) {
    std::cout << *text;
    return 0;
  }
  std::cerr << "qxfwctl: unknown command '" << qxfw::ctl::TerminalText(command)
            << "'; see qxfwctl --help\n";
  return 2;
}

// A message about bad arguments, with where to read the command's usage.
void UsageMessage(const std::string& command, const std::string& message) {
  std::cerr << "qxfwctl: " << qxfw::ctl::TerminalText(message) << " (see qxfwctl " << command
            << " --help)\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    std::cerr << qxfw::ctl::OverviewHelp();
    return 2;
  }
  if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
    if (words.size() > 2) {
      std::cerr << "qxfwctl: help takes one command; see qxfwctl --help\n";
      return 2;
    }
    return Help(words.size() == 2 ? words[1] : std::string());
  }
  std::string command = words[0];
  if (qxfw::ctl::AsksForHelp(words)) return Help(command);
  std::string error;
  int status = qxfw::ctl::RunStoreCommand(words, std::cout, &error);
  if (status == qxfw::ctl::kStoreHeld) {
    return qxfw::ctl::ForwardToProgram(words, error, std::cout, std::cerr);
  }
  if (status == 2 && !error.empty()) {
    UsageMessage(command, error);
    return status;
  }
  if (status >= 0) {
    if (!error.empty()) std::cerr << "qxfwctl: " << qxfw::ctl::TerminalText(error) << "\n";
    return status;
  }
  words.erase(words.begin());
  try {
    if (command == "monitor") return qxfw::ctl::RunFirewallMonitor(words, std::cout);
    int result = qxfw::ctl::RunMonitorCommand(command, words, std::cout);
    if (result >= 0) return result;
    result = qxfw::ctl::RunAvCommand(command, words, std::cout);
    if (result >= 0) return result;
    result = qxfw::ctl::RunAvServiceCommand(command, words, std::cout);
    if (result >= 0) return result;
    std::cerr << "qxfwctl: unknown command '" << qxfw::ctl::TerminalText(command)
              << "'; see qxfwctl --help\n";
    return 2;
  } catch (const qxfw::ctl::UsageError& e) {
    UsageMessage(command, e.what());
    return 2;
  } catch (const qxfw::ctl::NotInstalled& e) {
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
