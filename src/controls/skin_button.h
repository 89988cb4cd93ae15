// CSkinButton: the base of our picture buttons. It follows the mouse entering and leaving
// (enter and leave events, so it also works where the platform sends no hover events) and
// works out the drawing state; the derived buttons paint the image of that state. Push buttons
// act on release, only when the mouse is released over the button that was pressed.
#pragma once

#include <QAbstractButton>

#include "controls/button_state.h"

namespace qxfw::controls {

class CSkinButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CSkinButton(QWidget* parent = nullptr);

  ButtonState CurrentState() const { return StateOf(*this, hovered_); }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  bool hovered_ = false;
};

}  // namespace qxfw::controls
