// CEditBox: a single-line edit field with settable text, background and border colours. A
// read-only box keeps its colours (it is used to show texts the user may select and copy).
#pragma once

#include <QColor>
#include <QLineEdit>

namespace qxfw::controls {

class CEditBox : public QLineEdit {
  Q_OBJECT

 public:
  explicit CEditBox(QWidget* parent = nullptr);

  void SetTextColor(const QColor& color);
  void SetBkColor(const QColor& color);
  void SetBorderColor(const QColor& color);  // an invalid colour draws no border

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void ApplyPalette();

  QColor text_color_{0x20, 0x20, 0x20};
  QColor background_{Qt::white};
  QColor border_{0x8a, 0x96, 0xa3};
};

}  // namespace qxfw::controls
