#include "controls/edit_box.h"

#include <QPainter>

namespace qxfw::controls {

CEditBox::CEditBox(QWidget* parent) : QLineEdit(parent) {
  setFrame(false);
  setTextMargins(4, 1, 4, 1);
  ApplyPalette();
}

void CEditBox::SetTextColor(const QColor& color) {
  text_color_ = color;
  ApplyPalette();
}

void CEditBox::SetBkColor(const QColor& color) {
  background_ = color;
  ApplyPalette();
}

void CEditBox::SetBorderColor(const QColor& color) {
  border_ = color;
  update();
}

void CEditBox::ApplyPalette() {
  QPalette colors = palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    colors.setColor(group, QPalette::Base, background_);
    colors.setColor(group, QPalette::Window, background_);
    colors.setColor(group, QPalette::Text,
                    group == QPalette::Disabled ? QColor(0xa0, 0xa0, 0xa0) : text_color_);
  }
  setPalette(colors);
  setAutoFillBackground(true);
  update();
}

void CEditBox::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    painter.fillRect(rect(), background_);
  }
  QLineEdit::paintEvent(event);
  if (!border_.isValid()) return;
  QPainter painter(this);
  painter.setPen(hasFocus() ? border_.darker(140) : border_);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace qxfw::controls
