// CMacSliderCtrl: a custom-drawn slider with a step mark for every value from minimum to
// maximum. Vertical or horizontal; "inverted" puts the minimum at the top (vertical) or on the
// right (horizontal), and the arrow keys then move the knob the way they point. A click on the
// track moves the knob to the nearest step, a drag follows the mouse step by step. Keys and
// values come from QAbstractSlider (arrows, Page Up/Down, Home/End).
#pragma once

#include <QAbstractSlider>

namespace qxfw::controls {

class CMacSliderCtrl : public QAbstractSlider {
  Q_OBJECT

 public:
  explicit CMacSliderCtrl(Qt::Orientation orientation = Qt::Vertical, QWidget* parent = nullptr);

  void SetInverted(bool inverted);
  // The centre of the knob when the slider stands on `value`, in widget coordinates.
  QPoint KnobCentre(int value) const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int ValueAt(const QPoint& pos) const;
  int Span() const;
  bool MinimumAtEnd() const;

  static constexpr int kKnob = 16;
};

}  // namespace qxfw::controls
