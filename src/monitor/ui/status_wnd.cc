#include "monitor/ui/status_wnd.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QToolButton>

#include "controls/mf_traffic_button.h"

namespace qxfw::monitor {

QPointer<CStatusDlg> CStatusDlg::current_;

CStatusDlg* CStatusDlg::Open(std::unique_ptr<MFNetTraffic> traffic) {
  if (current_ == nullptr) {
    if (!traffic) traffic = std::make_unique<MFNetTraffic>();
    current_ = new CStatusDlg(std::move(traffic));
  }
  current_->show();
  current_->raise();
  return current_;
}

CStatusDlg::CStatusDlg(std::unique_ptr<MFNetTraffic> traffic)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      traffic_(std::move(traffic)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(QStringLiteral("CStatusDlg"));
  setWindowTitle(QStringLiteral("Monitoring Network Traffic..."));
  setFixedSize(kWidth, kHeight);
  QPainterPath rounded;
  rounded.addRoundedRect(QRectF(0, 0, kWidth, kHeight), 10, 10);
  setMask(QRegion(rounded.toFillPolygon().toPolygon()));

  interface_ = traffic_->FirstExternalInterface();
  MFNetTraffic* counters = traffic_.get();
  const int sampled = interface_;
  button_ = new controls::MFTrafficButton(
      [counters, sampled](int) {
        // Without an interface to watch there is no traffic to show.
        return sampled < 0 ? 0.0 : counters->Sample(sampled);
      },
      this);
  button_->setObjectName(QString::number(kTraffic));
  button_->setGeometry(4, 16, kWidth - 8, kHeight - 20);
  traffic_->SetCounterType(MFNetTraffic::kTotalBytes);
  button_->SelectInterface(0);
  button_->SetIntervals(1000, 100);

  auto* close = new QToolButton(this);
  close->setObjectName(QString::number(kClose));
  close->setText(QStringLiteral("\u00D7"));
  close->setAutoRaise(true);
  close->setStyleSheet(QStringLiteral("color: white; border: none; font-weight: bold;"));
  close->setGeometry(kWidth - 18, 1, 14, 14);
  connect(close, &QToolButton::clicked, this, &QWidget::close);
  PlaceAtCorner();
}

void CStatusDlg::PlaceAtCorner() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect area = screen->availableGeometry();
  move(area.right() + 1 - kWidth, area.bottom() + 1 - 3 - kHeight);
}

void CStatusDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
      event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void CStatusDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient band(0, 0, 0, kHeight);
  band.setColorAt(0, QColor(0x4A, 0x4A, 0x4A));
  band.setColorAt(1, QColor(0x22, 0x22, 0x22));
  painter.fillRect(rect(), band);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setPixelSize(10);
  painter.setFont(font);
  painter.drawText(QRect(8, 1, kWidth - 30, 14), Qt::AlignVCenter | Qt::AlignLeft, windowTitle());
}

void CStatusDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragFrom_ = event->globalPosition().toPoint() - pos();
}

void CStatusDlg::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) move(event->globalPosition().toPoint() - dragFrom_);
}

}  // namespace qxfw::monitor
