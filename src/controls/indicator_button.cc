#include "controls/indicator_button.h"

#include <QAbstractButton>
#include <QPainter>

#include "controls/skin_image.h"

namespace qxfw::controls {

void PaintIndicatorButton(QAbstractButton& button, const char* kind,
                          const IndicatorColors& colors) {
  QPainter painter(&button);
  painter.setRenderHint(QPainter::Antialiasing);
  if (colors.background) painter.fillRect(button.rect(), *colors.background);
  QString image = QString::fromLatin1(kind) + (button.isChecked() ? "_on" : "_off") +
                  (button.isEnabled() ? "" : "_disabled") + ".svg";
  QRectF box(0, (button.height() - kIndicatorSize) / 2.0, kIndicatorSize, kIndicatorSize);
  PaintSkin(painter, SkinPath(image), box);
  QRect textRect = button.rect().adjusted(kIndicatorSize + kIndicatorGap, 0, 0, 0);
  painter.setFont(button.font());
  painter.setPen(button.isEnabled() ? colors.text : QColor(0xa0, 0xa0, 0xa0));
  painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic,
                   button.text());
  if (button.hasFocus() && !button.text().isEmpty()) {
    QRect bounds = painter.boundingRect(textRect, Qt::AlignLeft | Qt::AlignVCenter, button.text());
    painter.setPen(QPen(colors.text, 1, Qt::DotLine));
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawRect(bounds.adjusted(-1, 0, 1, -1));
  }
}

QSize IndicatorSizeHint(const QAbstractButton& button) {
  int width =
      kIndicatorSize + kIndicatorGap + button.fontMetrics().horizontalAdvance(button.text());
  return {width + 2, qMax(kIndicatorSize + 2, button.fontMetrics().height() + 2)};
}

}  // namespace qxfw::controls
