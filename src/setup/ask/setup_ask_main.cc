// qxfwsetup-ask: the installer's message box on a desktop. Arguments: "okcancel" or "yesno",
// the caption and the text. Exit status 0 for OK/Yes, 1 for Cancel/No, 2 for bad arguments.
#include <QApplication>
#include <QMessageBox>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  bool okCancel = std::strcmp(argv[1], "okcancel") == 0;
  QApplication app(argc, argv);
  QMessageBox box(
      okCancel ? QMessageBox::Critical : QMessageBox::Question, QString::fromUtf8(argv[2]),
      QString::fromUtf8(argv[3]),
      okCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : (QMessageBox::Yes | QMessageBox::No));
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.setWindowModality(Qt::ApplicationModal);
  int answer = box.exec();
  return (answer == QMessageBox::Ok || answer == QMessageBox::Yes) ? 0 : 1;
}
