// Shared drawing of CChkBox and CRadioBtn: our indicator image on the left, the text after it in
// the control's own text colour, on its own background colour (or on the parent's background
// when none is set).
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QSize>
#include <optional>

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

// The colour setters and drawing of CChkBox (Base = QCheckBox) and CRadioBtn (QRadioButton).
// The whole control, indicator and text, takes the click.
template <class Base>
class ColouredIndicator : public Base {
 public:
  using Base::Base;

  void SetTextColor(const QColor& color) {
    colors_.text = color;
    this->update();
  }
  void SetBkColor(const QColor& color) {
    colors_.background = color;
    this->update();
  }
  void SetTransparent() {  // draw on the parent's background (the default)
    colors_.background.reset();
    this->update();
  }

  QSize sizeHint() const override { return IndicatorSizeHint(*this); }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  virtual const char* Kind() const = 0;  // image name prefix: "check" or "radio"
  void paintEvent(QPaintEvent*) override { PaintIndicatorButton(*this, Kind(), colors_); }
  bool hitButton(const QPoint& pos) const override { return this->rect().contains(pos); }

 private:
  IndicatorColors colors_;
};

}  // namespace qxfw::controls
