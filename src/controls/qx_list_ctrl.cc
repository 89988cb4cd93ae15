#include "controls/qx_list_ctrl.h"

#include <QHelpEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <algorithm>

namespace qxfw::controls {
namespace {

constexpr int kCellPadding = 4;
constexpr int kIconGap = 3;
const QColor kGridColor(0xe1, 0xe5, 0xea);
const QColor kSelectionBackground(0x3d, 0x7f, 0xc1);
const QColor kSelectionText(Qt::white);

// Room left for the text of a cell once padding and icon are taken.
int TextRoom(const QRect& cell, const QIcon& icon, const QSize& iconSize) {
  int room = cell.width() - 2 * kCellPadding;
  if (!icon.isNull()) room -= iconSize.width() + kIconGap;
  return room;
}

class RowColorDelegate : public QStyledItemDelegate {
 public:
  explicit RowColorDelegate(CQXListCtrl* list) : QStyledItemDelegate(list), list_(list) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    painter->save();
    bool selected = option.state & QStyle::State_Selected;
    int row = index.row();
    painter->fillRect(option.rect, selected ? kSelectionBackground : list_->BkColorOf(row));
    painter->setPen(kGridColor);
    painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
    painter->drawLine(option.rect.topRight(), option.rect.bottomRight());

    QRect cell = option.rect.adjusted(kCellPadding, 0, -kCellPadding, 0);
    QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
    if (!icon.isNull()) {
      QSize size = list_->iconSize();
      QRect iconRect(cell.left(), cell.top() + (cell.height() - size.height()) / 2, size.width(),
                     size.height());
      icon.paint(painter, iconRect);
      cell.setLeft(iconRect.right() + 1 + kIconGap);
    }
    QString text = index.data(Qt::DisplayRole).toString();
    painter->setFont(option.font);
    painter->setPen(selected ? kSelectionText : list_->TextColorOf(row));
    painter->drawText(cell, Qt::AlignLeft | Qt::AlignVCenter,
                      option.fontMetrics.elidedText(text, Qt::ElideRight, cell.width()));
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(qMax(size.height(), qMax(option.fontMetrics.height(), 16) + 4));
    return size;
  }

 private:
  CQXListCtrl* list_;
};

}  // namespace

CQXListCtrl::CQXListCtrl(QWidget* parent) : QTreeWidget(parent), header_(new CColorHeaderCtrl) {
  setHeader(header_);
  header_->setParent(this);
  header_->setStretchLastSection(false);
  setItemDelegate(new RowColorDelegate(this));
  setRootIsDecorated(false);
  setIndentation(0);
  setUniformRowHeights(true);
  setSortingEnabled(false);
  header_->setSectionsClickable(true);  // setSortingEnabled(false) turned it off
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  // The style's focus frame would be drawn over the rows' own colours.
  setAllColumnsShowFocus(false);
  setIconSize({16, 16});
  setColumnCount(0);
  setFrameShape(QFrame::Box);
  SetDefaultColors(default_text_, default_background_);

  connect(header_, &QHeaderView::sectionClicked, this, &CQXListCtrl::columnClicked);
  connect(header_, &QHeaderView::sectionResized, this,
          [this](int column, int, int width) { emit columnWidthChanged(column, width); });
  connect(this, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item, int) { emit rowDoubleClicked(indexOfTopLevelItem(item)); });
  connect(model(), &QAbstractItemModel::rowsInserted, this, &CQXListCtrl::OnRowsInserted);
  connect(model(), &QAbstractItemModel::rowsRemoved, this, &CQXListCtrl::OnRowsRemoved);
}

int CQXListCtrl::InsertColumn(const QString& title, int width) {
  int column = columnCount();
  setColumnCount(column + 1);
  QTreeWidgetItem* titles = headerItem();
  titles->setText(column, title);
  setColumnWidth(column, width);
  return column;
}

int CQXListCtrl::InsertItem(int row, const QString& text, const QIcon& icon) {
  int count = topLevelItemCount();
  if (row < 0 || row > count) row = count;
  auto* item = new QTreeWidgetItem;
  item->setText(0, text);
  if (!icon.isNull()) item->setIcon(0, icon);
  insertTopLevelItem(row, item);
  return row;
}

bool CQXListCtrl::SetItemText(int row, int column, const QString& text) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || column < 0 || column >= columnCount()) return false;
  item->setText(column, text);
  return true;
}

QString CQXListCtrl::GetItemText(int row, int column) const {
  QTreeWidgetItem* item = topLevelItem(row);
  return item == nullptr ? QString() : item->text(column);
}

bool CQXListCtrl::SetItemIcon(int row, int column, const QIcon& icon) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || column < 0 || column >= columnCount()) return false;
  item->setIcon(column, icon);
  return true;
}

bool CQXListCtrl::DeleteItem(int row) {
  QTreeWidgetItem* item = takeTopLevelItem(row);
  delete item;
  return item != nullptr;
}

void CQXListCtrl::DeleteAllItems() {
  clear();
  row_colors_.clear();
}

int CQXListCtrl::GetSelectedRow() const {
  QList<QTreeWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? -1 : indexOfTopLevelItem(selected.front());
}

void CQXListCtrl::SelectRow(int row) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr) {
    clearSelection();
    return;
  }
  setCurrentItem(item);
  item->setSelected(true);
}

void CQXListCtrl::SetRowColor(int row, const QColor& text, const QColor& background) {
  auto found = std::find_if(row_colors_.begin(), row_colors_.end(),
                            [row](const RowColor& entry) { return entry.row == row; });
  if (found != row_colors_.end()) {
    *found = {row, text, background};
  } else {
    row_colors_.push_back({row, text, background});
  }
  viewport()->update();
}

void CQXListCtrl::RemoveRowColor(int row) {
  std::erase_if(row_colors_, [row](const RowColor& entry) { return entry.row == row; });
  viewport()->update();
}

void CQXListCtrl::ClearRowColors() {
  row_colors_.clear();
  viewport()->update();
}

QColor CQXListCtrl::TextColorOf(int row) const {
  for (const RowColor& entry : row_colors_) {
    if (entry.row == row) return entry.text;
  }
  return default_text_;
}

QColor CQXListCtrl::BkColorOf(int row) const {
  for (const RowColor& entry : row_colors_) {
    if (entry.row == row) return entry.background;
  }
  return default_background_;
}

void CQXListCtrl::SetDefaultColors(const QColor& text, const QColor& background) {
  default_text_ = text;
  default_background_ = background;
  QPalette colors = palette();
  colors.setColor(QPalette::Base, background);
  colors.setColor(QPalette::Text, text);
  setPalette(colors);
  viewport()->update();
}

QString CQXListCtrl::CutOffTextAt(const QPoint& pos) const {
  QModelIndex index = indexAt(pos);
  if (!index.isValid()) return {};
  QString text = index.data(Qt::DisplayRole).toString();
  QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
  int room = TextRoom(visualRect(index), icon, iconSize());
  return fontMetrics().horizontalAdvance(text) > room ? text : QString();
}

bool CQXListCtrl::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    QString full = CutOffTextAt(help->pos());
    if (full.isEmpty()) {
      QToolTip::hideText();
    } else {
      QToolTip::showText(help->globalPos(), full, viewport(), visualRect(indexAt(help->pos())));
    }
    return true;
  }
  return QTreeWidget::viewportEvent(event);
}

void CQXListCtrl::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_F5:
    case Qt::Key_Delete:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      emit keyPressed(event->key());
      event->accept();
      return;
    default:
      QTreeWidget::keyPressEvent(event);
  }
}

void CQXListCtrl::OnRowsInserted(const QModelIndex& parent, int first, int last) {
  if (parent.isValid()) return;
  int added = last - first + 1;
  for (RowColor& entry : row_colors_) {
    if (entry.row >= first) entry.row += added;
  }
}

void CQXListCtrl::OnRowsRemoved(const QModelIndex& parent, int first, int last) {
  if (parent.isValid()) return;
  int removed = last - first + 1;
  std::erase_if(row_colors_,
                [&](const RowColor& entry) { return entry.row >= first && entry.row <= last; });
  for (RowColor& entry : row_colors_) {
    if (entry.row > last) entry.row -= removed;
  }
}

}  // namespace qxfw::controls
