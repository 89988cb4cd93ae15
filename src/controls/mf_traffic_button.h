// MFTrafficButton: the scrolling traffic graph of the status window. It samples a byte counter
// through a sampler function (the status window passes MFNetTraffic::Sample) on the sample
// timer, keeps one history column per two pixels of width, and paints bars scaled to the
// largest value in the history, a grid that scrolls with the samples, and the texts
// "current / maximum KB/sec". The repaint timer only repaints.
//
// A negative sample (a counter that went backwards or failed) is kept as no traffic rather than
// drawn as a rate. Used on the user-interface thread only.
#pragma once

#include <QAbstractButton>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

namespace qxfw::controls {

class MFTrafficButton : public QAbstractButton {
  Q_OBJECT

 public:
  // `sampler(interface)` returns the bytes counted since its previous call for that interface.
  using Sampler = std::function<double(int)>;

  explicit MFTrafficButton(Sampler sampler, QWidget* parent = nullptr);

  // Stops both timers, clears the history and the maximum, primes the sampler with two samples
  // and restarts the timers.
  void SelectInterface(int index);
  void SetIntervals(int sampleMs, int repaintMs);
  // Taken by the sample timer: one sample, history shifted left by one column.
  void Sample();

  int SelectedInterface() const { return interface_; }
  int HistoryColumns() const { return static_cast<int>(history_.size()); }
  double Maximum() const { return maximum_; }
  const QString& CurrentText() const { return current_text_; }
  const QString& MaximumText() const { return maximum_text_; }
  const QString& CombinedText() const { return combined_text_; }
  int SampleInterval() const { return sample_timer_.interval(); }
  int RepaintInterval() const { return repaint_timer_.interval(); }
  void SetResetMaximumEachSample(bool reset) { reset_maximum_ = reset; }

  QSize sizeHint() const override { return {260, 80}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Column {
    double value = 0;
    bool valid = true;
  };
  void ResetHistory();
  void UpdateTexts(double current);

  Sampler sampler_;
  int interface_ = 0;
  std::vector<Column> history_;
  double maximum_ = 0;
  bool reset_maximum_ = false;
  int grid_offset_ = 0;
  QString current_text_;
  QString maximum_text_;
  QString combined_text_;
  QTimer sample_timer_;   // timer 2
  QTimer repaint_timer_;  // timer 1
};

}  // namespace qxfw::controls
