#include "rules_ui/dialog_fields.h"

#include <QRegularExpressionValidator>

namespace qxfw::rules_ui {

void ApplyControlStates(const CSkinDialog& dialog, const std::vector<ControlState>& states) {
  for (const ControlState& state : states) {
    if (QWidget* control = dialog.Control(state.id)) {
      control->setEnabled(state.enabled);
      control->setVisible(state.visible);
    }
  }
}

void MakeAddressEdit(QLineEdit* edit) {
  edit->setMaxLength(15);
  edit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9.]*")), edit));
}

void MakePortEdit(QLineEdit* edit) {
  edit->setMaxLength(10);
  edit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& text) {
    bool ok = false;
    qulonglong value = text.toULongLong(&ok);
    if (ok && value > 65535) edit->setText(QStringLiteral("65535"));
  });
}

}  // namespace qxfw::rules_ui
