// Drives modal windows from a test: the next modal widget that matches is handed to an action
// (fill fields, press a button), and message boxes are answered with a preset button while
// their caption, text and icon are recorded.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>

namespace qxfw::rules_ui_test {

struct SeenMessage {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int count = 0;
};

// Calls action with the next active modal widget whose objectName is name (polling the event
// loop until it appears).
inline void WhenModal(const QString& name, std::function<void(QWidget*)> action) {
  QTimer::singleShot(0, [name, action] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal->objectName() != name) {
      WhenModal(name, action);
      return;
    }
    action(modal);
  });
}

// Answers the next message box with button and records it in *seen.
inline void AnswerMessage(QMessageBox::StandardButton button, SeenMessage* seen) {
  WhenModal(QStringLiteral("MessageBox"), [button, seen](QWidget* widget) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    seen->caption = box->windowTitle();
    seen->text = box->text();
    seen->icon = box->icon();
    ++seen->count;
    box->button(button)->click();
  });
}

}  // namespace qxfw::rules_ui_test
