// qxfwctl's help: the overview of every command, and the help of one command.
//
// The overview is the usage lines of every command module, grouped in sections. The help of
// one command is its lines of the overview with their section's heading, followed by examples
// and its exit status, so the two never disagree on a command's syntax. Stateless.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qxfw::ctl {

// "qxfwctl --help": every command.
std::string OverviewHelp();

// "qxfwctl COMMAND --help" and "qxfwctl help COMMAND"; nullopt when command is not one of
// qxfwctl's.
std::optional<std::string> CommandHelp(const std::string& command);

// The command words qxfwctl knows, in the order of the overview.
std::vector<std::string> CommandNames();

}  // namespace qxfw::ctl
