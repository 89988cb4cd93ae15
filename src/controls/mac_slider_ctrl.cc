#include "controls/mac_slider_ctrl.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

#include "controls/skin_image.h"

namespace qxfw::controls {

CMacSliderCtrl::CMacSliderCtrl(Qt::Orientation orientation, QWidget* parent)
    : QAbstractSlider(parent) {
  setOrientation(orientation);
  setFocusPolicy(Qt::StrongFocus);
  setPageStep(1);
  setSingleStep(1);
  // A vertical slider has its minimum at the bottom unless inverted.
  if (orientation == Qt::Vertical) setInvertedAppearance(false);
}

void CMacSliderCtrl::SetInverted(bool inverted) {
  setInvertedAppearance(inverted);
  // Up/Left keys must move the knob up/left on screen whichever end holds the minimum.
  setInvertedControls(inverted);
  update();
}

bool CMacSliderCtrl::MinimumAtEnd() const {
  // Screen coordinates grow down and right; the minimum sits at the start of the axis for a
  // horizontal slider, at its end (the bottom) for a vertical one, unless inverted.
  bool atEnd = orientation() == Qt::Vertical;
  return invertedAppearance() ? !atEnd : atEnd;
}

int CMacSliderCtrl::Span() const {
  int length = orientation() == Qt::Vertical ? height() : width();
  return qMax(0, length - kKnob);
}

QPoint CMacSliderCtrl::KnobCentre(int value) const {
  int offset = QStyle::sliderPositionFromValue(minimum(), maximum(), value, Span(), MinimumAtEnd());
  int along = offset + kKnob / 2;
  return orientation() == Qt::Vertical ? QPoint(width() / 2, along) : QPoint(along, height() / 2);
}

int CMacSliderCtrl::ValueAt(const QPoint& pos) const {
  int along = (orientation() == Qt::Vertical ? pos.y() : pos.x()) - kKnob / 2;
  return QStyle::sliderValueFromPosition(minimum(), maximum(), qBound(0, along, Span()), Span(),
                                         MinimumAtEnd());
}

QSize CMacSliderCtrl::sizeHint() const {
  int steps = qMax(1, maximum() - minimum());
  int length = qMax(80, steps * 24 + kKnob);
  return orientation() == Qt::Vertical ? QSize(30, length) : QSize(length, 30);
}

void CMacSliderCtrl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  bool vertical = orientation() == Qt::Vertical;
  QPoint first = KnobCentre(minimum());
  QPoint last = KnobCentre(maximum());
  QColor groove = isEnabled() ? QColor(0x8a, 0x96, 0xa3) : QColor(0xc8, 0xc8, 0xc8);
  QColor track = isEnabled() ? QColor(0xc9, 0xd3, 0xde) : QColor(0xe2, 0xe2, 0xe2);
  QColor fill = isEnabled() ? QColor(0x3d, 0x7f, 0xc1) : QColor(0xc8, 0xc8, 0xc8);

  // Step marks beside the track.
  painter.setPen(QPen(groove, 1));
  for (int value = minimum(); value <= maximum(); ++value) {
    QPoint at = KnobCentre(value);
    if (vertical) {
      painter.drawLine(at.x() + 7, at.y(), at.x() + 11, at.y());
      painter.drawLine(at.x() - 11, at.y(), at.x() - 7, at.y());
    } else {
      painter.drawLine(at.x(), at.y() + 7, at.x(), at.y() + 11);
    }
  }
  // The track, filled from the minimum end up to the knob.
  painter.setPen(QPen(track, 4, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(first, last);
  painter.setPen(QPen(fill, 4, Qt::SolidLine, Qt::RoundCap));
  QPoint knob = KnobCentre(sliderPosition());
  painter.drawLine(first, knob);

  QString image = !isEnabled()     ? "slider_knob_disabled.svg"
                  : isSliderDown() ? "slider_knob_pressed.svg"
                                   : "slider_knob.svg";
  PaintSkin(painter, SkinPath(image),
            QRectF(knob.x() - kKnob / 2.0, knob.y() - kKnob / 2.0, kKnob, kKnob));
  if (hasFocus()) {
    painter.setPen(QPen(fill, 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
  }
}

void CMacSliderCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || maximum() == minimum()) {
    event->ignore();
    return;
  }
  event->accept();
  setSliderDown(true);
  // With tracking the value follows at once; without it, on release.
  setSliderPosition(ValueAt(event->position().toPoint()));
  update();
}

void CMacSliderCtrl::mouseMoveEvent(QMouseEvent* event) {
  if (!isSliderDown()) {
    event->ignore();
    return;
  }
  event->accept();
  setSliderPosition(ValueAt(event->position().toPoint()));
}

void CMacSliderCtrl::mouseReleaseEvent(QMouseEvent* event) {
  if (!isSliderDown() || event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  event->accept();
  setSliderPosition(ValueAt(event->position().toPoint()));
  setSliderDown(false);  // commits the position as the value when tracking is off
  update();
}

}  // namespace qxfw::controls
