#include "controls/color_header_ctrl.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace qxfw::controls {
namespace {

constexpr int kMarkWidth = 8;
constexpr int kMarkHeight = 5;
constexpr int kMarkMargin = 6;

}  // namespace

CColorHeaderCtrl::CColorHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setHighlightSections(false);
  setSortIndicatorShown(false);  // the mark is ours; Qt's indicator would also sort the view
  setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setMinimumSectionSize(10);
}

void CColorHeaderCtrl::SetColors(const QColor& top, const QColor& bottom, const QColor& text) {
  top_ = top;
  bottom_ = bottom;
  text_ = text;
  viewport()->update();
}

void CColorHeaderCtrl::SetSortMark(int column, bool ascending) {
  sort_column_ = column;
  ascending_ = ascending;
  viewport()->update();
}

QRect CColorHeaderCtrl::SortMarkRect(int column) const {
  if (column < 0 || column >= count() || isSectionHidden(column)) return {};
  int left = sectionViewportPosition(column);
  int width = sectionSize(column);
  int x = left + width - kMarkMargin - kMarkWidth;
  int y = (height() - kMarkHeight) / 2;
  return {x, y, kMarkWidth, kMarkHeight};
}

void CColorHeaderCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  painter->save();
  QLinearGradient fill(rect.topLeft(), rect.bottomLeft());
  fill.setColorAt(0, top_);
  fill.setColorAt(1, bottom_);
  painter->fillRect(rect, fill);
  painter->setPen(bottom_.darker(125));
  painter->drawLine(rect.bottomLeft(), rect.bottomRight());
  painter->drawLine(rect.topRight(), rect.bottomRight());

  bool marked = logicalIndex == sort_column_;
  QRect textRect = rect.adjusted(6, 0, marked ? -(kMarkWidth + 2 * kMarkMargin) : -4, 0);
  QString title = model() ? model()->headerData(logicalIndex, orientation()).toString() : QString();
  painter->setPen(text_);
  painter->setFont(font());
  painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                    painter->fontMetrics().elidedText(title, Qt::ElideRight, textRect.width()));
  if (marked) {
    QRect mark(rect.right() - kMarkMargin - kMarkWidth + 1,
               rect.top() + (rect.height() - kMarkHeight) / 2, kMarkWidth, kMarkHeight);
    QPainterPath triangle;
    if (ascending_) {
      triangle.moveTo(mark.left(), mark.bottom() + 1);
      triangle.lineTo(mark.right() + 1, mark.bottom() + 1);
      triangle.lineTo(mark.left() + kMarkWidth / 2.0, mark.top());
    } else {
      triangle.moveTo(mark.left(), mark.top());
      triangle.lineTo(mark.right() + 1, mark.top());
      triangle.lineTo(mark.left() + kMarkWidth / 2.0, mark.bottom() + 1);
    }
    triangle.closeSubpath();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->fillPath(triangle, text_);
  }
  painter->restore();
}

QSize CColorHeaderCtrl::sectionSizeFromContents(int logicalIndex) const {
  QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
  size.setHeight(qMax(size.height(), fontMetrics().height() + 8));
  return size;
}

}  // namespace qxfw::controls
