// qxfwsetup: installs and removes the product and starts and stops its filter daemon.
#include "setup/setup_app.h"

int main(int argc, char** argv) {
  using namespace qxfw::setup;
  CSetupMessageBox box;
  CSetupApp app(EmbeddedResources(), box, CurrentSetupUser());
  return app.Run(ParseSetupCommand(JoinArguments(argc, argv)));
}
