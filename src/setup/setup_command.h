// The installer's command line: the whole argument text, compared without regard to case with
// exactly one of the four switches. Anything else, including a switch followed by more text,
// selects no command and is refused with the usage; "--help" and "-h" ask for the usage.
#pragma once

#include <string>
#include <string_view>

#include "platform/text_split.h"

namespace qxfw::setup {

enum class SetupCommand { kNone, kInstall, kUninstall, kStartDriver, kStopDriver };

using platform::JoinArguments;

SetupCommand ParseSetupCommand(std::string_view text);

// Whether the argument text is "--help" or "-h".
bool IsHelpRequest(std::string_view text);

// The installer's usage: its switches and what each does.
extern const char kSetupUsage[];

// The one-line error for an argument text that selects no command (terminal controls in it
// shown as '?').
std::string RefusalText(std::string_view text);

}  // namespace qxfw::setup
