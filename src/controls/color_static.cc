#include "controls/color_static.h"

#include <QPainter>

namespace qxfw::controls {

CColorStatic::CColorStatic(QWidget* parent) : QLabel(parent) {
  SetTextColor(text_color_);
}

CColorStatic::CColorStatic(const QString& text, QWidget* parent) : QLabel(text, parent) {
  SetTextColor(text_color_);
}

void CColorStatic::SetTextColor(const QColor& color) {
  text_color_ = color;
  QPalette colors = palette();
  colors.setColor(QPalette::WindowText, color);
  colors.setColor(QPalette::Text, color);
  setPalette(colors);
  update();
}

void CColorStatic::SetBkColor(const QColor& color) {
  background_ = color;
  update();
}

void CColorStatic::SetTransparent() {
  background_.reset();
  update();
}

void CColorStatic::paintEvent(QPaintEvent* event) {
  if (background_) {
    QPainter painter(this);
    painter.fillRect(rect(), *background_);
  }
  QLabel::paintEvent(event);
}

}  // namespace qxfw::controls
