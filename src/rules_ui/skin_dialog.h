// CSkinDialog: the frame of the rule and process dialogs. A borderless modal dialog with a blue
// title band and its white title text, a white body with a dotted separator line, rounded
// corners, a 17 x 17 close button at the top right that cancels, and a drag in the top 32
// pixels that moves the window like a title bar.
//
// Controls are made through the helpers below, which give each its control identifier as
// objectName and its visible text (or the label beside it) as accessible name, so tests and
// assistive tools find them. Texts come by string number from the caller's string table.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <functional>

#include "controls/caption_drag.h"

class QAbstractButton;
class QLabel;
class QLineEdit;

namespace qxfw::controls {
class CChkBox;
class CColorStatic;
class CEditBox;
class CNBitmapButton;
class CRadioBtn;
}  // namespace qxfw::controls

namespace qxfw::rules_ui {

// The user-interface text of a string number (the preferences' table in the program).
using TextSource = std::function<QString(int id)>;

// An application-modal message box with the given icon, caption and text; returns the button
// pressed. Its objectName is "MessageBox", so tests can find and answer it.
QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon,
                                        const QString& caption, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);

class CSkinDialog : public QDialog {
  Q_OBJECT
 public:
  enum : int { kOk = 1, kCancel = 2, kClose = 1194 };
  static constexpr int kBandHeight = 30;

  // The control with identifier id, or null.
  QWidget* Control(int id) const;
  template <typename T>
  T* ControlAs(int id) const {
    return qobject_cast<T*>(Control(id));
  }
  QString Text(int id) const { return texts_ ? texts_(id) : QString(); }

 protected:
  // width, height: the fixed size; separatorY: height of the dotted line (0: none).
  CSkinDialog(TextSource texts, int width, int height, int separatorY, QWidget* parent);

  // The title text (identifier titleId) and the close button.
  void MakeTitle(int titleId, const QString& text);
  controls::CColorStatic* MakeLabel(int id, const QString& text, const QRect& geometry);
  controls::CEditBox* MakeEdit(int id, const QString& accessibleName, const QRect& geometry);
  controls::CChkBox* MakeCheck(int id, const QString& text, const QRect& geometry);
  controls::CRadioBtn* MakeRadio(int id, const QString& text, const QRect& geometry);
  controls::CNBitmapButton* MakeButton(int id, const QString& text, const QRect& geometry);
  // OK and Cancel at the bottom right, at height y.
  void MakeOkCancel(int y, const QString& okText, const QString& cancelText);

  // A message box over this dialog with a string-table caption and text.
  QMessageBox::StandardButton Message(QMessageBox::Icon icon, int captionId, int textId,
                                      QMessageBox::StandardButtons buttons = QMessageBox::Ok);

  // OK: the dialog's own checks (the default accepts).
  virtual void OnOK() { accept(); }

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  TextSource texts_;
  int separator_y_;
  controls::CCaptionDrag drag_{32};
};

}  // namespace qxfw::rules_ui
