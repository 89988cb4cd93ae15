// Small helpers shared by the rule dialogs: reading and setting check boxes, edits and radios
// by control identifier, applying an enable cascade, and the port edit that never shows more
// than 65535. User-interface thread only.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <string>
#include <vector>

#include "rules_ui/rule_checks.h"
#include "rules_ui/skin_dialog.h"

namespace qxfw::rules_ui {

inline bool Checked(const CSkinDialog& dialog, int id) {
  auto* button = dialog.ControlAs<QAbstractButton>(id);
  return button != nullptr && button->isChecked();
}
inline void SetChecked(const CSkinDialog& dialog, int id, bool checked) {
  if (auto* button = dialog.ControlAs<QAbstractButton>(id)) button->setChecked(checked);
}
inline std::string FieldText(const CSkinDialog& dialog, int id) {
  auto* edit = dialog.ControlAs<QLineEdit>(id);
  return edit != nullptr ? edit->text().toStdString() : std::string();
}
inline void SetFieldText(const CSkinDialog& dialog, int id, const QString& text) {
  if (auto* edit = dialog.ControlAs<QLineEdit>(id)) edit->setText(text);
}

void ApplyControlStates(const CSkinDialog& dialog, const std::vector<ControlState>& states);

// An address edit: digits and dots, at most 15 characters.
void MakeAddressEdit(QLineEdit* edit);
// A port edit: digits only; while the user types, a number above 65535 becomes 65535.
void MakePortEdit(QLineEdit* edit);

}  // namespace qxfw::rules_ui
