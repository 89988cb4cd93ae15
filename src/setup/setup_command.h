// The installer's command line: the whole argument text, compared without regard to case with
// exactly one of the four switches. Anything else, including a switch followed by more text,
// selects no command.
#pragma once

#include <string>
#include <string_view>

namespace qxfw::setup {

enum class SetupCommand { kNone, kInstall, kUninstall, kStartDriver, kStopDriver };

// The arguments after the program name joined by single blanks, as one command-line text.
std::string JoinArguments(int argc, const char* const* argv);

SetupCommand ParseSetupCommand(std::string_view text);

}  // namespace qxfw::setup
