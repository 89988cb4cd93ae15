#include "ctl/command_help.h"

#include <sstream>

#include "ctl/av_commands.h"
#include "ctl/av_service_commands.h"
#include "ctl/commands.h"
#include "ctl/firewall_monitor.h"

namespace qxfw::ctl {
namespace {

constexpr char kUsage[] = "usage: qxfwctl COMMAND [ARGUMENTS] [--json]\n";

constexpr char kRulesHelp[] = R"(
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
)";

constexpr char kFooter[] = R"(
The data folder is $QXFW_APPDATA/QOLTEX/Firewall (else $XDG_DATA_HOME, else ~/.local/share).
qxfwctl help COMMAND (or qxfwctl COMMAND --help) shows a command's usage with examples.
Exit status: 0 done, 1 the operation failed, 2 bad arguments or a part of the product that
is not installed or not running (the message names the command that installs or starts it).
)";

constexpr char kExitStatus[] =
    "Exit status: 0 done, 1 the operation failed, 2 bad arguments or a part not installed.\n";

struct Examples {
  const char* command;
  // One example a line: the command line, optionally a tab and what it does.
  const char* lines;
  const char* exitStatus;  // null: kExitStatus
};

// The command words in the order of the overview, with their examples.
constexpr Examples kExamples[] = {
    {"rules",
     "qxfwctl rules list\n"
     "qxfwctl rules add-program allow /usr/bin/curl\n"
     "qxfwctl rules add-portip 1 80 80 0.0.0.0 0.0.0.0 1 web 1\tallow TCP port 80, any address\n"
     "qxfwctl rules delete-portip 80 80 0.0.0.0 0.0.0.0 1\n"
     "qxfwctl rules delete-program /usr/bin/curl\n",
     nullptr},
    {"level",
     "qxfwctl level\tprints the level, for example \"3 Medium\"\n"
     "qxfwctl level set 4\tHigh: every program without a rule is asked about\n",
     nullptr},
    {"journal",
     "qxfwctl journal\n"
     "qxfwctl journal --from 2026-01-01 --to 2026-01-31 --json\n",
     nullptr},
    {"connections",
     "qxfwctl connections\n"
     "sudo qxfwctl connections --json\twith the owners of every user's sockets\n",
     nullptr},
    {"processes", "qxfwctl processes\nqxfwctl processes --json\n", nullptr},
    {"shares", "qxfwctl shares\n", nullptr},
    {"whois",
     "qxfwctl whois 192.0.2.1\n"
     "qxfwctl whois 192.0.2.1 --server whois.arin.net --port 43\n",
     nullptr},
    {"traffic",
     "qxfwctl traffic --count 5\tfive one-second samples, then it ends\n"
     "qxfwctl traffic --interface 1 --json\n",
     nullptr},
    {"fileinfo", "qxfwctl fileinfo /usr/bin/curl\n", nullptr},
    {"monitor",
     "qxfwctl monitor\tneeds the filter daemon: qxfwsetup /StartDriver\n"
     "qxfwctl monitor --undecided block --json\n",
     "Exit status: 0 ended by Ctrl-C or SIGTERM, 1 the operation failed, 2 bad arguments or the\n"
     "filter daemon not running.\n"},
    {"scan",
     "qxfwctl scan ~/Downloads\tneeds the antivirus files: qxfwsetup /Install\n"
     "qxfwctl scan --archives --quarantine ~/Downloads/setup.zip\n",
     "Exit status: 0 nothing found, 1 something found, 2 an error or a part not installed.\n"},
    {"av",
     "qxfwctl av info\tneeds the antivirus files: qxfwsetup /Install\n"
     "qxfwctl av wrap /var/lib/clamav ~/.local/share/QOLTEX/AntiVirus/clamav.vdb\n"
     "qxfwctl av default /tmp/qxfw.vdb\n",
     nullptr},
    {"quarantine",
     "qxfwctl quarantine list\n"
     "qxfwctl quarantine restore NAME\tNAME as the list shows it\n",
     nullptr},
    {"update",
     "qxfwctl update --check\tneeds the antivirus library: qxfwsetup /Install\n"
     "qxfwctl update --server 127.0.0.1:8080\n",
     nullptr},
};

// The column where the descriptions of the usage lines start once "qxfwctl " is put in front.
constexpr size_t kDescriptionColumn = 47;

std::string ExampleText(const char* lines) {
  std::string text;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    size_t tab = line.find('\t');
    std::string command = "  " + line.substr(0, tab);
    if (tab != std::string::npos) {
      command += command.size() + 1 < kDescriptionColumn
                     ? std::string(kDescriptionColumn - command.size(), ' ')
                     : "\n" + std::string(kDescriptionColumn, ' ');
      command += line.substr(tab + 1);
    }
    text += command + "\n";
  }
  return text;
}

// One section of the overview: its heading lines and its indented usage lines.
struct Section {
  std::string heading;
  std::vector<std::string> lines;
};

std::vector<Section> Sections(const std::string& text) {
  std::vector<Section> sections;
  std::istringstream in(text);
  bool inHeading = false;  // the previous line was a heading line
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != ' ') {
      if (!inHeading) sections.emplace_back();
      sections.back().heading += line + "\n";
      inHeading = true;
      continue;
    }
    inHeading = false;
    if (!line.empty() && !sections.empty()) sections.back().lines.push_back(line);
  }
  return sections;
}

// The first word of a usage line ("  rules list [--json] ..." gives "rules"); empty for a
// continuation line.
std::string CommandOf(const std::string& line) {
  if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || line[2] == ' ') return {};
  size_t end = line.find(' ', 2);
  return line.substr(2, end == std::string::npos ? std::string::npos : end - 2);
}

}  // namespace

std::string OverviewHelp() {
  return std::string(kUsage) + kRulesHelp + MonitorHelp() + FirewallMonitorHelp() + AvHelp() +
         AvServiceHelp() + kFooter;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const Examples& e : kExamples) names.emplace_back(e.command);
  return names;
}

std::optional<std::string> CommandHelp(const std::string& command) {
  const Examples* examples = nullptr;
  for (const Examples& e : kExamples) {
    if (command == e.command) examples = &e;
  }
  if (examples == nullptr) return std::nullopt;
  std::string usage, heading;
  for (const Section& section : Sections(OverviewHelp())) {
    bool taking = false;
    for (const std::string& line : section.lines) {
      std::string word = CommandOf(line);
      if (!word.empty()) taking = word == command;
      if (!taking) continue;
      // "  rules list" becomes "  qxfwctl rules list"; continuation lines keep their column.
      usage += word.empty() ? "        " + line + "\n" : "  qxfwctl " + line.substr(2) + "\n";
      heading = section.heading;
    }
  }
  if (usage.empty()) return std::nullopt;
  if (heading.size() >= 2 && heading[heading.size() - 2] == ':') {
    heading[heading.size() - 2] = '.';
  }
  return "usage:\n" + usage + "\n" + heading + "\nExamples:\n" + ExampleText(examples->lines) +
         "\n" + (examples->exitStatus != nullptr ? examples->exitStatus : kExitStatus);
}

}  // namespace qxfw::ctl
