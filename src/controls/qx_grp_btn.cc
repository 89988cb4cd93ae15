#include "controls/qx_grp_btn.h"

#include <QPainter>

#include "controls/skin_image.h"

namespace qxfw::controls {

CQXGrpBtn::CQXGrpBtn(QWidget* parent)
    : CSkinButton(parent),
      images_{SkinPath("grpbtn_normal.svg"), SkinPath("grpbtn_hover.svg"),
              SkinPath("grpbtn_pressed.svg"), SkinPath("grpbtn_disabled.svg")} {}

void CQXGrpBtn::SetImages(const std::array<QString, 4>& paths) {
  images_ = paths;
  update();
}

void CQXGrpBtn::SetTextColors(const QColor& text, const QColor& shadow) {
  text_color_ = text;
  shadow_color_ = shadow;
  update();
}

QRect CQXGrpBtn::CaptionRect() const {
  QRect caption = rect().adjusted(0, 0, -1, -1);
  if (CurrentState() == ButtonState::kPressed) caption.translate(1, 1);
  return caption;
}

QSize CQXGrpBtn::sizeHint() const {
  return {qMax(100, fontMetrics().horizontalAdvance(text()) + 20),
          qMax(26, fontMetrics().height() + 8)};
}

void CQXGrpBtn::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  ButtonState state = CurrentState();
  size_t image = 0;
  switch (state) {
    case ButtonState::kHover:
      image = 1;
      break;
    case ButtonState::kPressed:
      image = 2;
      break;
    case ButtonState::kDisabled:
      image = 3;
      break;
    default:
      break;
  }
  PaintSkin(painter, images_[image], QRectF(rect()));
  QRect caption = CaptionRect();
  const int flags = Qt::AlignCenter | Qt::TextShowMnemonic;
  painter.setFont(font());
  painter.setPen(shadow_color_);
  painter.drawText(caption.translated(1, 1), flags, text());
  painter.setPen(state == ButtonState::kDisabled ? QColor(0xe0, 0xe0, 0xe0) : text_color_);
  painter.drawText(caption, flags, text());
}

}  // namespace qxfw::controls
