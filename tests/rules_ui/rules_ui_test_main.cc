// Runs the test classes of the rule dialogs and views in one offscreen application.
#include <QApplication>

int RunDialogsTests(int argc, char** argv);
int RunViewsTests(int argc, char** argv);

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  int failed = RunDialogsTests(argc, argv);
  failed += RunViewsTests(argc, argv);
  return failed;
}
