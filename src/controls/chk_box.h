// CChkBox: a check box drawn from our own indicator images, with its own text and background
// colours. The whole control (indicator and text) takes the click.
#pragma once

#include <QCheckBox>

#include "controls/indicator_button.h"

namespace qxfw::controls {

class CChkBox : public QCheckBox {
  Q_OBJECT

 public:
  explicit CChkBox(QWidget* parent = nullptr);
  CChkBox(const QString& text, QWidget* parent = nullptr);

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
