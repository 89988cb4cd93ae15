// CColorHeaderCtrl: the header of CQXListCtrl, drawn in our colours (a vertical gradient, a
// separator between sections) with the sort mark of the column the view sorted by. The header
// never sorts anything itself: a click is reported and the owning view sorts its own array, then
// calls SetSortMark.
#pragma once

#include <QColor>
#include <QHeaderView>

namespace qxfw::controls {

class CColorHeaderCtrl : public QHeaderView {
  Q_OBJECT

 public:
  explicit CColorHeaderCtrl(QWidget* parent = nullptr);

  void SetColors(const QColor& top, const QColor& bottom, const QColor& text);
  // Shows the mark of an ascending (triangle up) or descending sort on `column`; -1 hides it.
  void SetSortMark(int column, bool ascending);
  int SortColumn() const { return sort_column_; }
  bool SortAscending() const { return ascending_; }
  // Where the mark of `column` is drawn, in header coordinates (empty when the column is hidden).
  QRect SortMarkRect(int column) const;

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
  QSize sectionSizeFromContents(int logicalIndex) const override;

 private:
  QColor top_{0xf7, 0xf9, 0xfb};
  QColor bottom_{0xdd, 0xe4, 0xec};
  QColor text_{0x24, 0x34, 0x48};
  int sort_column_ = -1;
  bool ascending_ = true;
};

}  // namespace qxfw::controls
