// Picture buttons, check boxes and radio buttons driven with real mouse and key events.
#include <QEnterEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "controls/chk_box.h"
#include "controls/n_bitmap_button.h"
#include "controls/qx_grp_btn.h"
#include "controls/radio_btn.h"

using namespace qxfw::controls;

namespace {

void Hover(QWidget* widget, bool inside) {
  if (inside) {
    QPointF centre = QRectF(widget->rect()).center();
    QEnterEvent enter(centre, widget->mapTo(widget->window(), centre), widget->mapToGlobal(centre));
    QApplication::sendEvent(widget, &enter);
  } else {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(widget, &leave);
  }
}

// The bounding box of pixels close to `color` in a grab of the widget.
QRect PixelsOf(QWidget* widget, const QColor& color) {
  QImage image = widget->grab().toImage();
  QRect found;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      QColor pixel = image.pixelColor(x, y);
      if (qAbs(pixel.red() - color.red()) < 8 && qAbs(pixel.green() - color.green()) < 8 &&
          qAbs(pixel.blue() - color.blue()) < 8) {
        found |= QRect(x, y, 1, 1);
      }
    }
  }
  return found;
}

}  // namespace

class ButtonsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    window_ = new QWidget;
    window_->resize(300, 200);
    // Takes the focus when the window is shown, so buttons start unfocused.
    auto* sink = new QLineEdit(window_);
    sink->setGeometry(250, 170, 40, 20);
    sink->setFocus();
  }
  void cleanup() { delete window_; }

  void BitmapButtonGoesThroughItsFiveStates() {
    auto* ok = new CNBitmapButton(window_);
    ok->setText("OK");
    ok->setGeometry(10, 10, 80, 24);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
    QCOMPARE(ok->CurrentState(), ButtonState::kNormal);
    QImage normal = ok->grab().toImage();

    Hover(ok, true);
    QCOMPARE(ok->CurrentState(), ButtonState::kHover);
    QVERIFY(ok->grab().toImage() != normal);
    QTest::mousePress(ok, Qt::LeftButton);
    QCOMPARE(ok->CurrentState(), ButtonState::kPressed);
    QTest::mouseRelease(ok, Qt::LeftButton);
    Hover(ok, false);

    ok->setFocus();
    QCOMPARE(ok->CurrentState(), ButtonState::kFocused);
    ok->setEnabled(false);
    QCOMPARE(ok->CurrentState(), ButtonState::kDisabled);
    QImage disabled = ok->grab().toImage();
    QVERIFY(disabled != normal);
  }

  void BitmapButtonActsOnReleaseOverThePressedButtonOnly() {
    auto* ok = new CNBitmapButton(window_);
    ok->setGeometry(10, 10, 80, 24);
    auto* other = new CNBitmapButton(window_);
    other->setGeometry(10, 60, 80, 24);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
    QSignalSpy clicked(ok, &QAbstractButton::clicked);
    QSignalSpy otherClicked(other, &QAbstractButton::clicked);

    QTest::mousePress(ok, Qt::LeftButton);
    QCOMPARE(clicked.count(), 0);  // nothing happens on the press itself
    QTest::mouseRelease(ok, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);

    // Pressed, then released over another button: neither acts.
    QTest::mousePress(ok, Qt::LeftButton);
    QTest::mouseMove(ok, QPoint(40, 62));
    QTest::mouseRelease(ok, Qt::LeftButton, {}, QPoint(40, 62));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(otherClicked.count(), 0);
    QVERIFY(!ok->isDown());
    QVERIFY(ok->CurrentState() != ButtonState::kPressed);

    // The keyboard works too; a disabled button takes neither.
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_Space);
    QCOMPARE(clicked.count(), 2);
    ok->setEnabled(false);
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(clicked.count(), 2);
  }

  void CloseSkinIsSeventeenPixelsAndTakesNoFocus() {
    CNBitmapButton close(nullptr, CNBitmapButton::Skin::kClose);
    QCOMPARE(close.sizeHint(), QSize(17, 17));
    QCOMPARE(close.focusPolicy(), Qt::NoFocus);
  }

  void GroupButtonCaptionHasShadowAndShiftsWhilePressed() {
    auto* button = new CQXGrpBtn(window_);
    button->setText("Program");
    button->setGeometry(10, 10, 120, 28);
    const QColor kText(255, 255, 0);
    const QColor kShadow(255, 0, 255);
    button->SetTextColors(kText, kShadow);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));

    QRect text = PixelsOf(button, kText);
    QRect shadow = PixelsOf(button, kShadow);
    QVERIFY(!text.isEmpty());
    QVERIFY(!shadow.isEmpty());
    // The shadow shows below and right of the caption.
    QVERIFY(shadow.right() > text.right());
    QVERIFY(shadow.bottom() > text.bottom());

    QTest::mousePress(button, Qt::LeftButton);
    QCOMPARE(button->CurrentState(), ButtonState::kPressed);
    QCOMPARE(PixelsOf(button, kText), text.translated(1, 1));
    QTest::mouseRelease(button, Qt::LeftButton);
    QCOMPARE(PixelsOf(button, kText), text);

    // A checked group button stays drawn pressed.
    button->setCheckable(true);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(button->isChecked());
    QCOMPARE(button->CurrentState(), ButtonState::kPressed);
  }

  void CheckBoxTogglesFromTextAndIndicatorAndHonoursDisabled() {
    auto* box = new CChkBox("Allow only for this port.", window_);
    box->setGeometry(10, 10, 220, 18);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
    QSignalSpy toggled(box, &QAbstractButton::toggled);

    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, 9));  // on the indicator
    QVERIFY(box->isChecked());
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(120, 9));  // on the text
    QVERIFY(!box->isChecked());
    QTest::keyClick(box, Qt::Key_Space);
    QVERIFY(box->isChecked());
    QCOMPARE(toggled.count(), 3);

    box->setEnabled(false);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, 9));
    QVERIFY(box->isChecked());
  }

  void CheckBoxAndRadioDrawTheirOwnColours() {
    auto* box = new CChkBox("Scan Archives", window_);
    box->setGeometry(10, 10, 200, 20);
    box->SetBkColor(QColor(0x20, 0x40, 0x80));
    box->SetTextColor(QColor(0xff, 0xff, 0x00));
    auto* radio = new CRadioBtn("Allow", window_);
    radio->setGeometry(10, 40, 200, 20);
    radio->SetBkColor(QColor(0x80, 0x20, 0x20));
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));

    QImage boxImage = box->grab().toImage();
    QCOMPARE(boxImage.pixelColor(195, 2), QColor(0x20, 0x40, 0x80));
    QVERIFY(!PixelsOf(box, QColor(0xff, 0xff, 0x00)).isEmpty());
    QCOMPARE(radio->grab().toImage().pixelColor(195, 2), QColor(0x80, 0x20, 0x20));

    // The indicator image changes with the checked state.
    QImage before = boxImage.copy(0, 0, kIndicatorSize, 20);
    box->setChecked(true);
    QVERIFY(box->grab().toImage().copy(0, 0, kIndicatorSize, 20) != before);
  }

  void RadioButtonsOfOneParentExcludeEachOther() {
    auto* allow = new CRadioBtn("Allow", window_);
    auto* block = new CRadioBtn("Block", window_);
    auto* advanced = new CRadioBtn("Advanced Setting", window_);
    allow->setGeometry(10, 10, 150, 18);
    block->setGeometry(10, 30, 150, 18);
    advanced->setGeometry(10, 50, 150, 18);
    allow->setChecked(true);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));

    QTest::mouseClick(advanced, Qt::LeftButton, {}, QPoint(60, 9));
    QVERIFY(advanced->isChecked());
    QVERIFY(!allow->isChecked());
    QVERIFY(!block->isChecked());
    // Clicking the chosen one again keeps it chosen.
    QTest::mouseClick(advanced, Qt::LeftButton, {}, QPoint(60, 9));
    QVERIFY(advanced->isChecked());
  }

 private:
  QWidget* window_ = nullptr;
};

QTEST_MAIN(ButtonsTest)
#include "buttons_test.moc"
