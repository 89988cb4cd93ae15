// Runs the test classes of the firewall's dialogs in one offscreen application.
#include <QApplication>
#include <QTest>

int RunAskDialogTests(int argc, char** argv);
int RunSecurityOptionsTests(int argc, char** argv);

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  // "--focus": only the test that needs a real window system.
  int failed = RunAskDialogTests(argc, argv);
  if (argc < 2 || QByteArray(argv[1]) != "--focus") failed += RunSecurityOptionsTests(argc, argv);
  return failed;
}
