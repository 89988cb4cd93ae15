// CRadioBtn: a radio button drawn from our own indicator images, with its own text and background
// colours. The whole control (indicator and text) takes the click.
#pragma once

#include <QRadioButton>

#include "controls/indicator_button.h"

namespace qxfw::controls {

class CRadioBtn : public QRadioButton {
  Q_OBJECT

 public:
  explicit CRadioBtn(QWidget* parent = nullptr);
  CRadioBtn(const QString& text, QWidget* parent = nullptr);

  void SetTextColor(const QColor& color);
  void SetBkColor(const QColor& color);
  void SetTransparent();  // draw on the parent's background (the default)

  QSize sizeHint() const override { return IndicatorSizeHint(*this); }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

 private:
  IndicatorColors colors_;
};

}  // namespace qxfw::controls
