#include "controls/chk_box.h"

namespace qxfw::controls {

CChkBox::CChkBox(QWidget* parent) : QCheckBox(parent) {}

CChkBox::CChkBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {}

void CChkBox::SetTextColor(const QColor& color) {
  colors_.text = color;
  update();
}

void CChkBox::SetBkColor(const QColor& color) {
  colors_.background = color;
  update();
}

void CChkBox::SetTransparent() {
  colors_.background.reset();
  update();
}

void CChkBox::paintEvent(QPaintEvent*) {
  PaintIndicatorButton(*this, "check", colors_);
}

}  // namespace qxfw::controls
