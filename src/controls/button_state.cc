#include "controls/button_state.h"

#include <QAbstractButton>

namespace qxfw::controls {

ButtonState StateOf(const QAbstractButton& button, bool hovered) {
  if (!button.isEnabled()) return ButtonState::kDisabled;
  if (button.isDown() || (button.isCheckable() && button.isChecked())) return ButtonState::kPressed;
  if (hovered) return ButtonState::kHover;
  if (button.hasFocus()) return ButtonState::kFocused;
  return ButtonState::kNormal;
}

}  // namespace qxfw::controls
