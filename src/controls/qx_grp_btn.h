// CQXGrpBtn: a picture button with one image per state (normal, hover, pressed, disabled)
// whose caption is drawn with a drop shadow and moves one pixel right and down while the button
// is pressed. Checkable group buttons (the log view's page switches) show the pressed image
// while checked.
#pragma once

#include <QColor>
#include <array>

#include "controls/skin_button.h"

namespace qxfw::controls {

class CQXGrpBtn : public CSkinButton {
  Q_OBJECT

 public:
  explicit CQXGrpBtn(QWidget* parent = nullptr);

  // Images for normal, hover, pressed and disabled.
  void SetImages(const std::array<QString, 4>& paths);
  void SetTextColors(const QColor& text, const QColor& shadow);

  // Where the caption is drawn now (the shadow lies one pixel right and below it).
  QRect CaptionRect() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::array<QString, 4> images_;
  QColor text_color_{Qt::white};
  QColor shadow_color_{0x10, 0x20, 0x30};
};

}  // namespace qxfw::controls
