// CColorStatic: a static text (titles, labels, the level descriptions) with settable text and
// background colours; without a background colour it is drawn on the parent's background.
#pragma once

#include <QColor>
#include <QLabel>
#include <optional>

namespace qxfw::controls {

class CColorStatic : public QLabel {
  Q_OBJECT

 public:
  explicit CColorStatic(QWidget* parent = nullptr);
  CColorStatic(const QString& text, QWidget* parent = nullptr);

  void SetTextColor(const QColor& color);
  void SetBkColor(const QColor& color);
  void SetTransparent();

  QColor TextColor() const { return text_color_; }
  std::optional<QColor> BkColor() const { return background_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor text_color_{0x34, 0x34, 0x34};
  std::optional<QColor> background_;
};

}  // namespace qxfw::controls
