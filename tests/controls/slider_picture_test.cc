// The step slider (mouse, drag and keys, both orientations), the animated picture, and the
// coloured static and edit fields.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "controls/color_static.h"
#include "controls/edit_box.h"
#include "controls/mac_slider_ctrl.h"
#include "controls/picture_ex.h"
#include "controls/skin_image.h"

using namespace qxfw::controls;

namespace {

// A 1 x 1 animated GIF of two frames (black, then white), 20 ms each, looping.
QByteArray TwoFrameGif() {
  QByteArray gif("GIF89a", 6);
  gif += QByteArray::fromHex(
      "010001008000"
      "00"
      "000000ffffff");  // screen, 2-colour palette
  gif += QByteArray::fromHex("21ff0b") + "NETSCAPE2.0" +
         QByteArray::fromHex(
             "03010000"
             "00");
  const char* frames[] = {"44", "4c"};  // LZW data of pixel index 0 and of index 1
  for (const char* pixel : frames) {
    gif += QByteArray::fromHex(
        "21f904"
        "00"
        "0200"
        "00"
        "00");  // 20 ms
    gif += QByteArray::fromHex(
        "2c"
        "00000000"
        "01000100"
        "00");
    gif += QByteArray::fromHex("0202") + QByteArray::fromHex(pixel) + QByteArray::fromHex("0100");
  }
  gif += QByteArray::fromHex("3b");
  return gif;
}

}  // namespace

class SliderPictureTest : public QObject {
  Q_OBJECT

 private slots:
  void VerticalInvertedSliderHasItsMinimumAtTheTop() {
    // The security level slider: positions 1 (top) to 4 (bottom).
    CMacSliderCtrl slider(Qt::Vertical);
    slider.setRange(1, 4);
    slider.SetInverted(true);
    slider.resize(30, 120);
    slider.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    QSignalSpy changed(&slider, &QAbstractSlider::valueChanged);

    QVERIFY(slider.KnobCentre(1).y() < slider.KnobCentre(4).y());
    QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(15, 2));
    QCOMPARE(slider.value(), 1);
    QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(15, 118));
    QCOMPARE(slider.value(), 4);
    // A click between steps lands on the nearest one.
    QPoint nearThree = slider.KnobCentre(3) + QPoint(0, 5);
    QTest::mouseClick(&slider, Qt::LeftButton, {}, nearThree);
    QCOMPARE(slider.value(), 3);
    QCOMPARE(changed.count(), 2);  // the first click stayed on the starting value

    // Down moves the knob down the screen, Up moves it up.
    slider.setFocus();
    QTest::keyClick(&slider, Qt::Key_Up);
    QCOMPARE(slider.value(), 2);
    QTest::keyClick(&slider, Qt::Key_Down);
    QTest::keyClick(&slider, Qt::Key_Down);
    QCOMPARE(slider.value(), 4);
    QTest::keyClick(&slider, Qt::Key_Down);  // stays at the end
    QCOMPARE(slider.value(), 4);
  }

  void DragFollowsTheMouseStepByStep() {
    CMacSliderCtrl slider(Qt::Horizontal);
    slider.setRange(0, 10);
    slider.resize(216, 30);
    slider.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    QSignalSpy moved(&slider, &QAbstractSlider::sliderMoved);

    QTest::mousePress(&slider, Qt::LeftButton, {}, slider.KnobCentre(0));
    QVERIFY(slider.isSliderDown());
    QTest::mouseMove(&slider, slider.KnobCentre(4) + QPoint(3, 0));
    QCOMPARE(slider.sliderPosition(), 4);
    QTest::mouseMove(&slider, QPoint(500, 15));  // beyond the end: clamped
    QCOMPARE(slider.sliderPosition(), 10);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, slider.KnobCentre(7));
    QVERIFY(!slider.isSliderDown());
    QCOMPARE(slider.value(), 7);
    QVERIFY(moved.count() >= 2);
    QVERIFY(slider.KnobCentre(0).x() < slider.KnobCentre(10).x());

    // Without tracking the value changes only when the knob is let go.
    slider.setTracking(false);
    QSignalSpy changed(&slider, &QAbstractSlider::valueChanged);
    QTest::mousePress(&slider, Qt::LeftButton, {}, slider.KnobCentre(7));
    QTest::mouseMove(&slider, slider.KnobCentre(2));
    QCOMPARE(changed.count(), 0);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, slider.KnobCentre(2));
    QCOMPARE(slider.value(), 2);
    QCOMPARE(changed.count(), 1);
  }

  void DisabledSliderIgnoresTheMouse() {
    CMacSliderCtrl slider(Qt::Vertical);
    slider.setRange(1, 4);
    slider.resize(30, 120);
    slider.setValue(2);
    slider.setEnabled(false);
    slider.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(15, 2));
    QCOMPARE(slider.value(), 2);
  }

  void StripAnimationAdvancesAndStops() {
    CPictureEx picture;
    picture.resize(40, 40);
    QVERIFY(picture.LoadStrip(SkinPath("scan_strip.svg"), 8, 10));
    QCOMPARE(picture.FrameCount(), 8);
    QCOMPARE(picture.sizeHint(), QSize(32, 32));
    picture.show();
    QVERIFY(QTest::qWaitForWindowExposed(&picture));
    QImage first = picture.grab().toImage();
    QVERIFY(!picture.IsPlaying());

    picture.Draw();
    QVERIFY(picture.IsPlaying());
    QTRY_VERIFY(picture.CurrentFrame() != 0);
    QVERIFY(picture.grab().toImage() != first);  // another frame is shown
    picture.Stop();
    int stopped = picture.CurrentFrame();
    QTest::qWait(50);
    QCOMPARE(picture.CurrentFrame(), stopped);
    QVERIFY(!picture.IsPlaying());
  }

  void AnimatedGifPlaysAndPauses() {
    QTemporaryDir dir;
    QFile file(dir.filePath("anim.gif"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(TwoFrameGif()) > 0);
    file.close();

    CPictureEx picture;
    picture.resize(10, 10);
    QVERIFY(picture.Load(file.fileName()));
    QCOMPARE(picture.FrameCount(), 2);
    picture.show();
    QVERIFY(QTest::qWaitForWindowExposed(&picture));
    QCOMPARE(picture.grab().toImage().pixelColor(4, 4), QColor(Qt::black));

    picture.Draw();
    QVERIFY(picture.IsPlaying());
    QTRY_COMPARE(picture.grab().toImage().pixelColor(4, 4), QColor(Qt::white));
    picture.Stop();
    QVERIFY(!picture.IsPlaying());
    QColor stopped = picture.grab().toImage().pixelColor(4, 4);
    QTest::qWait(80);
    QCOMPARE(picture.grab().toImage().pixelColor(4, 4), stopped);
    picture.Draw();  // resumes
    QVERIFY(picture.IsPlaying());
  }

  void UnreadablePictureLeavesTheControlEmpty() {
    CPictureEx picture;
    QVERIFY(picture.LoadStrip(SkinPath("scan_strip.svg"), 8, 10));
    QVERIFY(!picture.Load("/nonexistent/anim.gif"));
    QCOMPARE(picture.FrameCount(), 0);
    picture.Draw();  // nothing to play, nothing to crash on
    QVERIFY(!picture.IsPlaying());
    QVERIFY(!picture.LoadStrip(SkinPath("scan_strip.svg"), 0, 10));
    QVERIFY(!picture.LoadStrip("/nonexistent/strip.png", 4, 10));
  }

  void StaticAndEditDrawTheirColours() {
    CColorStatic title("Program Setting");
    title.resize(160, 20);
    title.SetBkColor(QColor(0x34, 0x34, 0x34));
    title.SetTextColor(QColor(0xff, 0xcc, 0x00));
    QImage image = title.grab().toImage();
    QCOMPARE(image.pixelColor(158, 1), QColor(0x34, 0x34, 0x34));
    bool hasText = false;
    for (int x = 0; x < image.width() && !hasText; ++x) {
      for (int y = 0; y < image.height() && !hasText; ++y) {
        hasText = image.pixelColor(x, y) == QColor(0xff, 0xcc, 0x00);
      }
    }
    QVERIFY(hasText);
    title.SetTransparent();
    QVERIFY(!title.BkColor().has_value());

    CEditBox edit;
    edit.resize(160, 22);
    edit.SetBkColor(QColor(0xff, 0xf4, 0xd0));
    edit.SetBorderColor(QColor(0x00, 0x00, 0xff));
    edit.setMaxLength(260);
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    QTest::keyClicks(&edit, "/usr/bin/curl");
    QCOMPARE(edit.text(), QString("/usr/bin/curl"));
    QImage box = edit.grab().toImage();
    QCOMPARE(box.pixelColor(150, 11), QColor(0xff, 0xf4, 0xd0));
    QColor border = box.pixelColor(0, 11);  // blue, darker while the box has the focus
    QVERIFY(border.blue() > 150 && border.red() < 40 && border.green() < 40);
    QTest::keyClicks(&edit, QString(300, 'x'));
    QCOMPARE(edit.text().size(), 260);
  }
};

QTEST_MAIN(SliderPictureTest)
#include "slider_picture_test.moc"
