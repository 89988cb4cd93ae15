// The installer's command line: the whole argument text, compared without regard to case with
// exactly one of the four switches. Anything else, including a switch followed by more text,
// selects no command.
#pragma once

#include <string>
#include <string_view>

#include "platform/text_split.h"

namespace qxfw::setup {

enum class SetupCommand { kNone, kInstall, kUninstall, kStartDriver, kStopDriver };

using platform::JoinArguments;

SetupCommand ParseSetupCommand(std::string_view text);

}  // namespace qxfw::setup
