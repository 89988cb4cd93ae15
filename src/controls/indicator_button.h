// Shared drawing of CChkBox and CRadioBtn: our indicator image on the left, the text after it in
// the control's own text colour, on its own background colour (or on the parent's background
// when none is set).
#pragma once

#include <QColor>
#include <QSize>
#include <optional>

class QAbstractButton;

namespace qxfw::controls {

struct IndicatorColors {
  QColor text{0x34, 0x34, 0x34};
  std::optional<QColor> background;  // none: transparent
};

// `kind` is "check" or "radio"; the image follows the button's checked and enabled state.
void PaintIndicatorButton(QAbstractButton& button, const char* kind, const IndicatorColors& colors);
QSize IndicatorSizeHint(const QAbstractButton& button);

constexpr int kIndicatorSize = 13;
constexpr int kIndicatorGap = 5;

}  // namespace qxfw::controls
