// qxfwsetup: installs and removes the product and starts and stops its filter daemon.
#include <cstdio>
#include <string>

#include "setup/setup_app.h"

int main(int argc, char** argv) {
  using namespace qxfw::setup;
  const std::string text = JoinArguments(argc, argv);
  if (IsHelpRequest(text)) {
    std::fputs(kSetupUsage, stdout);
    return 0;
  }
  // Refused before anything is computed: the folders are created only for a command.
  const SetupCommand command = ParseSetupCommand(text);
  if (command == SetupCommand::kNone) {
    std::fprintf(stderr, "%s\n\n%s", RefusalText(text).c_str(), kSetupUsage);
    return 2;
  }
  CSetupMessageBox box;
  CSetupApp app(EmbeddedResources(), box, CurrentSetupUser());
  return app.Run(command);
}
