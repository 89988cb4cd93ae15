#include "setup/setup_command.h"

#include "platform/text_compare.h"

namespace qxfw::setup {

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
