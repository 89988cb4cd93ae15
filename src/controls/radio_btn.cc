#include "controls/radio_btn.h"

namespace qxfw::controls {

CRadioBtn::CRadioBtn(QWidget* parent) : QRadioButton(parent) {}

CRadioBtn::CRadioBtn(const QString& text, QWidget* parent) : QRadioButton(text, parent) {}

void CRadioBtn::SetTextColor(const QColor& color) {
  colors_.text = color;
  update();
}

void CRadioBtn::SetBkColor(const QColor& color) {
  colors_.background = color;
  update();
}

void CRadioBtn::SetTransparent() {
  colors_.background.reset();
  update();
}

void CRadioBtn::paintEvent(QPaintEvent*) {
  PaintIndicatorButton(*this, "radio", colors_);
}

}  // namespace qxfw::controls
