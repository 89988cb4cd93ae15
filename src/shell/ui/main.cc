// qxfw: the firewall program. Registers the page scheme, starts the application object and
// runs the message loop until the main window is destroyed.
#include <QApplication>

#include "shell/command_line.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"

int main(int argc, char** argv) {
  qxfw::shell::PrepareBrowser();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  application.setApplicationName(QStringLiteral("qxfw"));
  qxfw::shell::CFireWallApp app;
  if (!app.InitInstance(qxfw::shell::JoinArguments(argc, argv))) return 0;
  int status = application.exec();
  app.ExitInstance();
  return status;
}
