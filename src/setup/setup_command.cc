#include "setup/setup_command.h"

#include "platform/text_compare.h"

namespace qxfw::setup {

std::string JoinArguments(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

SetupCommand ParseSetupCommand(std::string_view text) {
  struct Switch {
    const char* text;
    SetupCommand command;
  };
  static constexpr Switch kSwitches[] = {
      {"/Install", SetupCommand::kInstall},
      {"/StartDriver", SetupCommand::kStartDriver},
      {"/StopDriver", SetupCommand::kStopDriver},
      {"/Uninstall", SetupCommand::kUninstall},
  };
  for (const Switch& s : kSwitches) {
    if (platform::EqualNoCase(text, s.text)) return s.command;
  }
  return SetupCommand::kNone;
}

}  // namespace qxfw::setup
