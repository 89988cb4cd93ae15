// CStatusDlg: the small borderless window "Monitoring Network Traffic..." with the live traffic
// graph (MFTrafficButton over MFNetTraffic: total bytes of the first interface that is not a
// loopback device, sampled every 1000 ms, repainted every 100 ms), placed at the lower right of
// the work area. One window at most: Open shows the one that is open, or makes one. The window
// deletes itself when it closes and the pointer to it clears with it. Enter and Escape do not
// close it; its close button (1194) does. User-interface thread only.
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "monitor/net_traffic.h"

namespace qxfw::controls {
class MFTrafficButton;
}

namespace qxfw::monitor {

class CStatusDlg : public QWidget {
  Q_OBJECT
 public:
  enum : int { kClose = 1194, kTraffic = 1195 };
  static constexpr int kWidth = 268;
  static constexpr int kHeight = 100;

  // Shows the open window, or a new one over traffic (the machine's counters when null).
  static CStatusDlg* Open(std::unique_ptr<MFNetTraffic> traffic = nullptr);
  // The open window; null when none is open.
  static CStatusDlg* Current() { return current_; }

  controls::MFTrafficButton* Traffic() const { return button_; }
  int SampledInterface() const { return interface_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  explicit CStatusDlg(std::unique_ptr<MFNetTraffic> traffic);
  void PlaceAtCorner();

  static QPointer<CStatusDlg> current_;
  std::unique_ptr<MFNetTraffic> traffic_;
  controls::MFTrafficButton* button_;
  int interface_ = -1;
  QPoint dragFrom_;
};

}  // namespace qxfw::monitor
