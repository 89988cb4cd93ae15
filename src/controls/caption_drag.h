// CCaptionDrag: moves a borderless window while the left button, pressed in its top band, is
// held, as a title bar would. The window forwards its mouse events; each call says whether it
// took the event.
#pragma once

#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

namespace qxfw::controls {

class CCaptionDrag {
 public:
  explicit CCaptionDrag(int bandHeight) : band_(bandHeight) {}

  bool Press(QWidget& window, const QMouseEvent& event) {
    if (event.button() != Qt::LeftButton || event.position().y() >= band_) return false;
    dragging_ = true;
    offset_ = event.globalPosition().toPoint() - window.frameGeometry().topLeft();
    return true;
  }
  bool Move(QWidget& window, const QMouseEvent& event) {
    if (!dragging_ || !(event.buttons() & Qt::LeftButton)) return false;
    window.move(event.globalPosition().toPoint() - offset_);
    return true;
  }
  void Release() { dragging_ = false; }

 private:
  int band_;
  bool dragging_ = false;
  QPoint offset_;
};

}  // namespace qxfw::controls
