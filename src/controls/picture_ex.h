// CPictureEx: shows an animated picture (the scan and update dialogs' working animation).
// Two sources: a movie file Qt can read (an animated GIF), or a strip image whose frames lie side
// by side, shown one after another at a fixed delay. The picture is centred on the control's
// background colour; a still image is simply shown.
#pragma once

#include <QColor>
#include <QMovie>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace qxfw::controls {

class CPictureEx : public QWidget {
  Q_OBJECT

 public:
  explicit CPictureEx(QWidget* parent = nullptr);
  ~CPictureEx() override;

  // Loads a movie or still image. Returns false, leaving the control empty, when the file
  // cannot be read.
  bool Load(const QString& path);
  // Loads a strip of `frameCount` frames of equal width, each shown for `delayMs`.
  bool LoadStrip(const QString& path, int frameCount, int delayMs);

  void Draw();  // starts (or resumes) the animation
  void Stop();  // stops on the current frame
  void UnLoad();

  bool IsPlaying() const;
  int FrameCount() const;
  int CurrentFrame() const;
  void SetBkColor(const QColor& color);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void NextStripFrame();
  QSize FrameSize() const;

  std::unique_ptr<QMovie> movie_;
  QString strip_path_;
  int strip_frames_ = 0;
  int strip_frame_ = 0;
  QTimer strip_timer_;
  QColor background_{Qt::white};
};

}  // namespace qxfw::controls
