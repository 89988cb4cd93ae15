// CQXListCtrl: the report list of every view and dialog. Rows are addressed by index, as the
// views keep an array whose element i is row i; the list therefore never sorts itself (a header
// click is reported with columnClicked and the view re-fills in its own order).
//
// Per-row colours: a list of {row, text colour, background colour}; a row without an entry uses
// the default colours, a selected row the selection colours. Entries follow their rows when rows
// are inserted or deleted above them, and go away with their row.
//
// A cell whose text does not fit shows its full text as a tooltip. Used on the user-interface
// thread only.
#pragma once

#include <QColor>
#include <QIcon>
#include <QTreeWidget>
#include <vector>

#include "controls/color_header_ctrl.h"

namespace qxfw::controls {

struct RowColor {
  int row;
  QColor text;
  QColor background;
};

class CQXListCtrl : public QTreeWidget {
  Q_OBJECT

 public:
  explicit CQXListCtrl(QWidget* parent = nullptr);

  // Columns are appended in order; returns the new column's index.
  int InsertColumn(const QString& title, int width);
  int ColumnCount() const { return columnCount(); }
  int GetColumnWidth(int column) const { return columnWidth(column); }

  // Inserts a row at `row` (clamped to the end; -1 = at the end) with the text of column 0.
  // Returns the row's index.
  int InsertItem(int row, const QString& text, const QIcon& icon = QIcon());
  bool SetItemText(int row, int column, const QString& text);
  QString GetItemText(int row, int column) const;
  bool SetItemIcon(int row, int column, const QIcon& icon);
  bool DeleteItem(int row);
  void DeleteAllItems();
  int GetItemCount() const { return topLevelItemCount(); }

  int GetSelectedRow() const;  // -1 when nothing is selected
  void SelectRow(int row);     // -1 clears the selection

  void SetRowColor(int row, const QColor& text, const QColor& background);
  void RemoveRowColor(int row);
  void ClearRowColors();
  const std::vector<RowColor>& RowColors() const { return row_colors_; }
  // The colours row `row` is drawn with when it is not selected.
  QColor TextColorOf(int row) const;
  QColor BkColorOf(int row) const;

  void SetDefaultColors(const QColor& text, const QColor& background);
  void SetSortMark(int column, bool ascending) { header_->SetSortMark(column, ascending); }
  CColorHeaderCtrl* Header() const { return header_; }

  // The text of the cell at `pos` (viewport coordinates) when it is cut off, else empty.
  QString CutOffTextAt(const QPoint& pos) const;

 signals:
  void columnClicked(int column);
  void rowDoubleClicked(int row);
  void keyPressed(int key);  // F5, Delete and Return, for the views' own handling
  void columnWidthChanged(int column, int width);

 protected:
  bool viewportEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnRowsInserted(const QModelIndex& parent, int first, int last);
  void OnRowsRemoved(const QModelIndex& parent, int first, int last);

  CColorHeaderCtrl* header_;
  std::vector<RowColor> row_colors_;
  QColor default_text_{0x20, 0x20, 0x20};
  QColor default_background_{Qt::white};
};

}  // namespace qxfw::controls
