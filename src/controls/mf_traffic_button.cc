#include "controls/mf_traffic_button.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <algorithm>

namespace qxfw::controls {
namespace {

constexpr int kColumnWidth = 2;
constexpr int kGridSpacing = 10;
const QColor kBackground(0x32, 0x32, 0x32);
const QColor kGridPen(0x20, 0x40, 0x20);
const QColor kBarTop(0x00, 0xff, 0xff);
const QColor kBarUpper(0x7d, 0xff, 0x7d);
const QColor kBarLower(0xff, 0x7d, 0x7d);
const QColor kShadow(0x00, 0x00, 0x00);

QString KbPerSecond(double bytes) {
  return QString::asprintf("%.1f KB/sec", bytes / 1024.0);
}

}  // namespace

MFTrafficButton::MFTrafficButton(Sampler sampler, QWidget* parent)
    : QAbstractButton(parent), sampler_(std::move(sampler)) {
  setFocusPolicy(Qt::NoFocus);
  QFont small(QStringLiteral("Arial"));
  small.setPixelSize(10);
  setFont(small);
  sample_timer_.setInterval(1000);
  repaint_timer_.setInterval(50);
  connect(&sample_timer_, &QTimer::timeout, this, &MFTrafficButton::Sample);
  connect(&repaint_timer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
  UpdateTexts(0);
  ResetHistory();
  sample_timer_.start();
  repaint_timer_.start();
}

void MFTrafficButton::ResetHistory() {
  history_.assign(static_cast<size_t>(std::max(1, width() / kColumnWidth)), Column{});
}

void MFTrafficButton::SelectInterface(int index) {
  sample_timer_.stop();
  repaint_timer_.stop();
  interface_ = index;
  ResetHistory();
  // Two samples: the first only tells the sampler which interface we follow, the second sets
  // the counter the next real sample is measured against.
  if (sampler_) {
    sampler_(interface_);
    sampler_(interface_);
  }
  maximum_ = 0;
  UpdateTexts(0);
  sample_timer_.start();
  repaint_timer_.start();
}

void MFTrafficButton::SetIntervals(int sampleMs, int repaintMs) {
  sample_timer_.start(std::max(1, sampleMs));
  repaint_timer_.start(std::max(1, repaintMs));
}

void MFTrafficButton::Sample() {
  double current = sampler_ ? sampler_(interface_) : 0;
  if (!(current > 0)) current = 0;  // also NaN
  if (reset_maximum_) maximum_ = 0;
  for (size_t i = 0; i + 1 < history_.size(); ++i) {
    history_[i] = history_[i + 1];
    if (history_[i].valid) maximum_ = std::max(maximum_, history_[i].value);
  }
  history_.back() = {current, true};
  maximum_ = std::max(maximum_, current);
  grid_offset_ = (grid_offset_ + kColumnWidth) % kGridSpacing;
  UpdateTexts(current);
  update();
}

void MFTrafficButton::UpdateTexts(double current) {
  current_text_ = KbPerSecond(current);
  maximum_text_ = KbPerSecond(maximum_);
  combined_text_ = QString::asprintf("%.1f / %.1f KB/sec", current / 1024.0, maximum_ / 1024.0);
}

void MFTrafficButton::resizeEvent(QResizeEvent* event) {
  QAbstractButton::resizeEvent(event);
  // Keep the newest columns when the width changes.
  size_t wanted = static_cast<size_t>(std::max(1, width() / kColumnWidth));
  std::vector<Column> resized(wanted);
  size_t keep = std::min(wanted, history_.size());
  std::copy(history_.end() - static_cast<std::ptrdiff_t>(keep), history_.end(),
            resized.end() - static_cast<std::ptrdiff_t>(keep));
  history_ = std::move(resized);
  QPainterPath rounded;
  rounded.addRoundedRect(QRectF(rect()), 5, 5);
  setMask(QRegion(rounded.toFillPolygon().toPolygon()));
}

void MFTrafficButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBackground);
  painter.setPen(kGridPen);
  for (int x = kGridSpacing - grid_offset_; x < width(); x += kGridSpacing) {
    painter.drawLine(x, 0, x, height());
  }
  for (int y = kGridSpacing; y < height(); y += kGridSpacing) painter.drawLine(0, y, width(), y);

  if (maximum_ > 0) {
    QLinearGradient bars(0, 0, 0, height());
    bars.setColorAt(0, kBarUpper);
    bars.setColorAt(1, kBarLower);
    int x = width() - static_cast<int>(history_.size()) * kColumnWidth;
    for (const Column& column : history_) {
      if (column.valid && column.value > 0) {
        int bar = std::max(1, static_cast<int>(column.value / maximum_ * height()));
        painter.fillRect(x, height() - bar, kColumnWidth, bar, bars);
        painter.fillRect(x, height() - bar, kColumnWidth, 1, kBarTop);
      }
      x += kColumnWidth;
    }
  }
  painter.setFont(font());
  QPoint at(5, 5 + painter.fontMetrics().ascent());
  painter.setPen(kShadow);
  painter.drawText(at + QPoint(1, 0), combined_text_);
  painter.setPen(Qt::white);
  painter.drawText(at, combined_text_);
}

}  // namespace qxfw::controls
