#include "controls/picture_ex.h"

#include <QPainter>

#include "controls/skin_image.h"

namespace qxfw::controls {

CPictureEx::CPictureEx(QWidget* parent) : QWidget(parent) {
  connect(&strip_timer_, &QTimer::timeout, this, &CPictureEx::NextStripFrame);
}

CPictureEx::~CPictureEx() = default;

bool CPictureEx::Load(const QString& path) {
  UnLoad();
  auto movie = std::make_unique<QMovie>(path);
  if (!movie->isValid() || !movie->jumpToFrame(0)) return false;
  movie_ = std::move(movie);
  connect(movie_.get(), &QMovie::frameChanged, this, [this] { update(); });
  updateGeometry();
  update();
  return true;
}

bool CPictureEx::LoadStrip(const QString& path, int frameCount, int delayMs) {
  UnLoad();
  QSizeF size = SkinSize(path);
  if (size.isEmpty() || frameCount < 1 || delayMs < 1 || size.width() < frameCount) return false;
  strip_path_ = path;
  strip_frames_ = frameCount;
  strip_timer_.setInterval(delayMs);
  updateGeometry();
  update();
  return true;
}

void CPictureEx::Draw() {
  if (movie_) {
    if (movie_->state() == QMovie::Paused) {
      movie_->setPaused(false);
    } else if (movie_->state() == QMovie::NotRunning) {
      movie_->start();
    }
  } else if (strip_frames_ > 1) {
    strip_timer_.start();
  }
}

void CPictureEx::Stop() {
  if (movie_ && movie_->state() == QMovie::Running) movie_->setPaused(true);
  strip_timer_.stop();
}

void CPictureEx::UnLoad() {
  strip_timer_.stop();
  movie_.reset();
  strip_path_.clear();
  strip_frames_ = 0;
  strip_frame_ = 0;
  update();
}

bool CPictureEx::IsPlaying() const {
  return movie_ ? movie_->state() == QMovie::Running : strip_timer_.isActive();
}

int CPictureEx::FrameCount() const {
  if (movie_) return movie_->frameCount();
  return strip_frames_;
}

int CPictureEx::CurrentFrame() const {
  return movie_ ? movie_->currentFrameNumber() : strip_frame_;
}

void CPictureEx::SetBkColor(const QColor& color) {
  background_ = color;
  update();
}

QSize CPictureEx::FrameSize() const {
  if (movie_) return movie_->currentPixmap().size();
  if (strip_frames_ == 0) return {};
  QSizeF whole = SkinSize(strip_path_);
  return QSize(static_cast<int>(whole.width() / strip_frames_), static_cast<int>(whole.height()));
}

QSize CPictureEx::sizeHint() const {
  QSize frame = FrameSize();
  return frame.isEmpty() ? QSize(32, 32) : frame;
}

void CPictureEx::NextStripFrame() {
  strip_frame_ = (strip_frame_ + 1) % strip_frames_;
  update();
}

void CPictureEx::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), background_);
  QSize frame = FrameSize();
  if (frame.isEmpty()) return;
  QRect target(QPoint((width() - frame.width()) / 2, (height() - frame.height()) / 2), frame);
  if (movie_) {
    painter.drawPixmap(target, movie_->currentPixmap());
    return;
  }
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF source(strip_frame_ * frame.width(), 0, frame.width(), frame.height());
  PaintSkinPart(painter, strip_path_, QRectF(target), source);
}

}  // namespace qxfw::controls
