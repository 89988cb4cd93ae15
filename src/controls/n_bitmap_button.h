// CNBitmapButton: a push button drawn from five images, one per state (normal, hover, pressed,
// focused, disabled), with an optional caption centred over the image. Used for the OK, Cancel
// and close buttons of the dialogs. Like every push button it acts on release, and only when the
// mouse is released over the button that was pressed.
#pragma once

#include <QColor>
#include <QString>
#include <array>

#include "controls/skin_button.h"

namespace qxfw::controls {

class CNBitmapButton : public CSkinButton {
  Q_OBJECT

 public:
  enum class Skin { kPush, kClose };

  explicit CNBitmapButton(QWidget* parent = nullptr, Skin skin = Skin::kPush);

  // Replaces the five images (normal, hover, pressed, focused, disabled); paths of SVG or
  // bitmap files.
  void SetImages(const std::array<QString, 5>& paths);
  void SetSkin(Skin skin);
  void SetTextColor(const QColor& color);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::array<QString, 5> images_;
  QColor text_color_{0x20, 0x2a, 0x36};
  Skin skin_;
};

}  // namespace qxfw::controls
