#include "controls/n_bitmap_button.h"

#include <QPainter>

#include "controls/skin_image.h"

namespace qxfw::controls {
namespace {

std::array<QString, 5> SkinImages(const QString& prefix) {
  return {SkinPath(prefix + "_normal.svg"), SkinPath(prefix + "_hover.svg"),
          SkinPath(prefix + "_pressed.svg"), SkinPath(prefix + "_focus.svg"),
          SkinPath(prefix + "_disabled.svg")};
}

}  // namespace

CNBitmapButton::CNBitmapButton(QWidget* parent, Skin skin) : CSkinButton(parent), skin_(skin) {
  SetSkin(skin);
}

void CNBitmapButton::SetImages(const std::array<QString, 5>& paths) {
  images_ = paths;
  update();
}

void CNBitmapButton::SetSkin(Skin skin) {
  skin_ = skin;
  SetImages(SkinImages(skin == Skin::kClose ? QStringLiteral("close") : QStringLiteral("button")));
  if (skin == Skin::kClose) setFocusPolicy(Qt::NoFocus);
  updateGeometry();
}

void CNBitmapButton::SetTextColor(const QColor& color) {
  text_color_ = color;
  update();
}

QSize CNBitmapButton::sizeHint() const {
  if (skin_ == Skin::kClose) return {17, 17};
  int textWidth = fontMetrics().horizontalAdvance(text());
  return {qMax(80, textWidth + 24), qMax(24, fontMetrics().height() + 8)};
}

void CNBitmapButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  ButtonState state = CurrentState();
  PaintSkin(painter, images_[static_cast<size_t>(state)], QRectF(rect()));
  if (text().isEmpty()) return;
  painter.setFont(font());
  painter.setPen(state == ButtonState::kDisabled ? QColor(0xa0, 0xa0, 0xa0) : text_color_);
  QRect textRect = rect();
  if (state == ButtonState::kPressed) textRect.translate(1, 1);
  painter.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic, text());
}

}  // namespace qxfw::controls
