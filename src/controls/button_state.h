// The drawing state of a skinned button, shared by the picture buttons, check boxes and radio
// buttons. Hover is tracked by the widget itself (enter and leave events), so it also works on
// platforms without hover events.
#pragma once

class QAbstractButton;

namespace qxfw::controls {

enum class ButtonState { kNormal, kHover, kPressed, kFocused, kDisabled };

// Disabled wins, then pressed (held down, or checked for a checkable button), then hover,
// then keyboard focus.
ButtonState StateOf(const QAbstractButton& button, bool hovered);

}  // namespace qxfw::controls
