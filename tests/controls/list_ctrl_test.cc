// The report list and its header: rows by index, per-row colours that follow their rows,
// header clicks and the sort mark, cut-off cells' tooltips, and the keys the views handle.
#include <QHelpEvent>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

#include "controls/qx_list_ctrl.h"

using namespace qxfw::controls;

namespace {

const QColor kNewText(0x00, 0x00, 0x00);
const QColor kNewBackground(0x8a, 0xfe, 0x2f);
const QColor kGoneText(Qt::white);
const QColor kGoneBackground(0xf5, 0x0e, 0x0e);

QPoint CellCentre(CQXListCtrl& list, int row, int column) {
  return list.visualRect(list.model()->index(row, column)).center();
}

QColor PixelInRow(CQXListCtrl& list, int row) {
  QRect cell = list.visualRect(list.model()->index(row, 1));
  QImage image = list.viewport()->grab().toImage();
  return image.pixelColor(cell.right() - 3, cell.top() + 2);
}

}  // namespace

class ListCtrlTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    list_ = new CQXListCtrl;
    list_->resize(480, 200);
    list_->InsertColumn("Program Name", 140);
    list_->InsertColumn("Path", 250);
    list_->InsertColumn("Action", 70);
    for (const char* name : {"bash", "curl", "wget", "ssh"}) {
      int row = list_->InsertItem(-1, name);
      list_->SetItemText(row, 1, QString("/usr/bin/") + name);
      list_->SetItemText(row, 2, "Allow");
    }
    list_->show();
    QVERIFY(QTest::qWaitForWindowExposed(list_));
  }
  void cleanup() {
    delete list_;
    list_ = nullptr;
  }

  void RowsAreAddressedByIndexAndNeverReordered() {
    QCOMPARE(list_->GetItemCount(), 4);
    QCOMPARE(list_->InsertItem(1, "zsh"), 1);
    QCOMPARE(list_->GetItemText(1, 0), QString("zsh"));
    QCOMPARE(list_->GetItemText(2, 0), QString("curl"));
    QCOMPARE(list_->InsertItem(99, "tail"), 5);  // past the end: appended
    QVERIFY(!list_->SetItemText(9, 0, "x"));
    QVERIFY(!list_->SetItemText(0, 3, "x"));
    QVERIFY(list_->GetItemText(9, 0).isEmpty());

    // A header click reports the column and leaves the rows where they are.
    QSignalSpy clicked(list_, &CQXListCtrl::columnClicked);
    QRect header = list_->Header()->rect();
    QTest::mouseClick(
        list_->Header()->viewport(), Qt::LeftButton, {},
        QPoint(list_->Header()->sectionViewportPosition(2) + 20, header.center().y()));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.front().front().toInt(), 2);
    QCOMPARE(list_->GetItemText(0, 0), QString("bash"));
    QCOMPARE(list_->GetItemText(5, 0), QString("tail"));

    QVERIFY(list_->DeleteItem(0));
    QVERIFY(!list_->DeleteItem(42));
    QCOMPARE(list_->GetItemText(0, 0), QString("zsh"));
  }

  void SelectionByMouseAndByIndex() {
    QCOMPARE(list_->GetSelectedRow(), -1);
    QTest::mouseClick(list_->viewport(), Qt::LeftButton, {}, CellCentre(*list_, 2, 1));
    QCOMPARE(list_->GetSelectedRow(), 2);
    list_->SelectRow(0);
    QCOMPARE(list_->GetSelectedRow(), 0);
    QCOMPARE(list_->selectedItems().size(), 1);  // single selection
    list_->SelectRow(-1);
    QCOMPARE(list_->GetSelectedRow(), -1);

    QSignalSpy doubled(list_, &CQXListCtrl::rowDoubleClicked);
    // A double click is a press and release followed by a second press reported as a double.
    QTest::mouseClick(list_->viewport(), Qt::LeftButton, {}, CellCentre(*list_, 3, 0));
    QTest::mouseDClick(list_->viewport(), Qt::LeftButton, {}, CellCentre(*list_, 3, 0));
    QCOMPARE(doubled.count(), 1);
    QCOMPARE(doubled.front().front().toInt(), 3);
  }

  void RowColoursAreDrawnAndFollowTheirRows() {
    list_->SetRowColor(1, kNewText, kNewBackground);
    list_->SetRowColor(3, kGoneText, kGoneBackground);
    QCOMPARE(PixelInRow(*list_, 0), QColor(Qt::white));  // no entry: default colours
    QCOMPARE(PixelInRow(*list_, 1), kNewBackground);
    QCOMPARE(PixelInRow(*list_, 3), kGoneBackground);

    // Setting a row again replaces its entry instead of adding a second one.
    list_->SetRowColor(1, kNewText, kNewBackground);
    QCOMPARE(list_->RowColors().size(), size_t{2});

    // A row inserted above moves the colours down with their rows...
    list_->InsertItem(0, "new");
    QCOMPARE(list_->BkColorOf(2), kNewBackground);
    QCOMPARE(list_->BkColorOf(4), kGoneBackground);
    QCOMPARE(list_->BkColorOf(1), QColor(Qt::white));
    // ...a deleted row takes its colour with it, and rows below move up.
    list_->DeleteItem(2);
    QCOMPARE(list_->BkColorOf(2), QColor(Qt::white));
    QCOMPARE(list_->BkColorOf(3), kGoneBackground);
    QCOMPARE(list_->TextColorOf(3), kGoneText);
    QCOMPARE(PixelInRow(*list_, 3), kGoneBackground);

    list_->RemoveRowColor(3);
    QCOMPARE(PixelInRow(*list_, 3), QColor(Qt::white));
    list_->SetRowColor(0, kNewText, kNewBackground);
    list_->DeleteAllItems();
    QVERIFY(list_->RowColors().empty());
  }

  void SelectedRowUsesSelectionColoursOverItsOwn() {
    list_->SetRowColor(1, kNewText, kNewBackground);
    list_->SelectRow(1);
    QVERIFY(PixelInRow(*list_, 1) != kNewBackground);
    list_->SelectRow(-1);
    QCOMPARE(PixelInRow(*list_, 1), kNewBackground);
  }

  void SortMarkIsDrawnOnTheMarkedColumnAndFlips() {
    CColorHeaderCtrl* header = list_->Header();
    QRect mark = header->SortMarkRect(2);
    QVERIFY(!mark.isEmpty());
    QImage unmarked = header->viewport()->grab().toImage().copy(mark);
    list_->SetSortMark(2, true);
    QImage ascending = header->viewport()->grab().toImage().copy(mark);
    list_->SetSortMark(2, false);
    QImage descending = header->viewport()->grab().toImage().copy(mark);
    QVERIFY(ascending != unmarked);
    QVERIFY(descending != unmarked);
    QVERIFY(ascending != descending);
    QCOMPARE(header->SortColumn(), 2);
    QVERIFY(!header->SortAscending());
    // Other columns carry no mark.
    QRect other = header->SortMarkRect(0);
    list_->SetSortMark(-1, true);
    QImage none = header->viewport()->grab().toImage().copy(other);
    list_->SetSortMark(2, true);
    QCOMPARE(header->viewport()->grab().toImage().copy(other), none);
  }

  void CutOffCellShowsItsFullTextAsTooltip() {
    QString longPath = "/opt/some/very/long/folder/name/that/does/not/fit/the/column/program";
    list_->SetItemText(0, 1, longPath);
    QPoint longCell = CellCentre(*list_, 0, 1);
    QPoint shortCell = CellCentre(*list_, 1, 0);
    QCOMPARE(list_->CutOffTextAt(longCell), longPath);
    QVERIFY(list_->CutOffTextAt(shortCell).isEmpty());

    QHelpEvent onLong(QEvent::ToolTip, longCell, list_->viewport()->mapToGlobal(longCell));
    QApplication::sendEvent(list_->viewport(), &onLong);
    QTRY_COMPARE(QToolTip::text(), longPath);
    QHelpEvent onShort(QEvent::ToolTip, shortCell, list_->viewport()->mapToGlobal(shortCell));
    QApplication::sendEvent(list_->viewport(), &onShort);
    QTRY_VERIFY(!QToolTip::isVisible());

    // Widening the column until the text fits removes the need for the tooltip.
    list_->setColumnWidth(1, list_->fontMetrics().horizontalAdvance(longPath) + 20);
    QVERIFY(list_->CutOffTextAt(CellCentre(*list_, 0, 1)).isEmpty());
  }

  void ViewKeysAndColumnWidthsAreReported() {
    QSignalSpy keys(list_, &CQXListCtrl::keyPressed);
    QSignalSpy widths(list_, &CQXListCtrl::columnWidthChanged);
    list_->setFocus();
    list_->SelectRow(1);
    QTest::keyClick(list_, Qt::Key_F5);
    QTest::keyClick(list_, Qt::Key_Delete);
    QCOMPARE(keys.count(), 2);
    QCOMPARE(keys.at(0).front().toInt(), int(Qt::Key_F5));
    QCOMPARE(keys.at(1).front().toInt(), int(Qt::Key_Delete));
    QTest::keyClick(list_, Qt::Key_Down);  // ordinary keys still move the selection
    QCOMPARE(list_->GetSelectedRow(), 2);
    QCOMPARE(keys.count(), 2);

    list_->setColumnWidth(1, 300);
    QCOMPARE(widths.count(), 1);
    QCOMPARE(widths.front().at(0).toInt(), 1);
    QCOMPARE(widths.front().at(1).toInt(), 300);
    QCOMPARE(list_->GetColumnWidth(1), 300);
  }

 private:
  CQXListCtrl* list_ = nullptr;
};

QTEST_MAIN(ListCtrlTest)
#include "list_ctrl_test.moc"
