#include "setup/setup_command.h"

#include "platform/text_compare.h"

namespace qxfw::setup {

const char kSetupUsage[] = R"(usage: qxfwsetup /Install | /StartDriver | /StopDriver | /Uninstall
One switch, in any case (/install, /INSTALL):
  /Install       writes the current user's data files into ~/.local/share/QOLTEX ($QXFW_APPDATA
                 moves it): rule data file, texts, antivirus library, scanning engine and
                 signatures; registers the uninstall entry; ends a running qxfw first
  /StartDriver   writes the filter daemon into the system folder and starts it (as a normal
                 user through pkexec, which asks for the administrator's password)
  /StopDriver    stops the filter daemon (through pkexec as a normal user)
  /Uninstall     ends a running qxfw, stops and unregisters the filter daemon (as root), and
                 removes the uninstall entry and the program files
  --help, -h     this text
Exit status: 0 done, 1 /Install stopped at the running-program question, 2 no switch or an
unknown one (nothing is changed).
)";

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

bool IsHelpRequest(std::string_view text) {
  return text == "--help" || text == "-h";
}

std::string RefusalText(std::string_view text) {
  if (text.empty()) return "qxfwsetup: no switch given";
  std::string shown;
  for (char c : text.substr(0, 200)) {
    unsigned char u = static_cast<unsigned char>(c);
    shown += u < 0x20 || u == 0x7F ? '?' : c;
  }
  return "qxfwsetup: unknown switch '" + shown + "' (the switches are /Install, /StartDriver, " +
         "/StopDriver and /Uninstall)";
}

}  // namespace qxfw::setup
