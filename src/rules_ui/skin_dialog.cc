#include "rules_ui/skin_dialog.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "controls/chk_box.h"
#include "controls/color_static.h"
#include "controls/edit_box.h"
#include "controls/n_bitmap_button.h"
#include "controls/radio_btn.h"

namespace qxfw::rules_ui {
namespace {

const QColor kBandTop(0x2f, 0x74, 0xb8);
const QColor kBandBottom(0x1d, 0x55, 0x91);
const QColor kFrame(0x1d, 0x55, 0x91);
const QColor kLabelColor(0x34, 0x34, 0x34);

}  // namespace

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon,
                                        const QString& caption, const QString& text,
                                        QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, caption, text, buttons, parent);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  if (buttons.testFlag(QMessageBox::No)) box.setDefaultButton(QMessageBox::No);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

CSkinDialog::CSkinDialog(TextSource texts, int width, int height, int separatorY, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      texts_(std::move(texts)),
      separator_y_(separatorY) {
  setWindowModality(Qt::ApplicationModal);
  setWindowIcon(QApplication::windowIcon());
  setFixedSize(width, height);
  setMouseTracking(true);
}

QWidget* CSkinDialog::Control(int id) const {
  return findChild<QWidget*>(QString::number(id));
}

void CSkinDialog::MakeTitle(int titleId, const QString& text) {
  setWindowTitle(text);
  auto* title = new controls::CColorStatic(text, this);
  title->setObjectName(QString::number(titleId));
  title->setAccessibleName(text);
  title->SetTextColor(Qt::white);
  QFont font = title->font();
  font.setPixelSize(12);
  font.setWeight(QFont::Bold);
  title->setFont(font);
  title->setGeometry(10, 0, width() - 50, kBandHeight);
  title->setAttribute(Qt::WA_TransparentForMouseEvents);

  auto* close = new controls::CNBitmapButton(this, controls::CNBitmapButton::Skin::kClose);
  close->setObjectName(QString::number(kClose));
  close->setAccessibleName(Text(123));
  close->setGeometry(width() - 27, 8, 17, 17);
  close->setCursor(Qt::PointingHandCursor);
  connect(close, &QAbstractButton::clicked, this, &QDialog::reject);
}

controls::CColorStatic* CSkinDialog::MakeLabel(int id, const QString& text, const QRect& geometry) {
  auto* label = new controls::CColorStatic(text, this);
  label->setObjectName(QString::number(id));
  label->setAccessibleName(text);
  label->SetTextColor(kLabelColor);
  label->setGeometry(geometry);
  return label;
}

controls::CEditBox* CSkinDialog::MakeEdit(int id, const QString& accessibleName,
                                          const QRect& geometry) {
  auto* edit = new controls::CEditBox(this);
  edit->setObjectName(QString::number(id));
  edit->setAccessibleName(accessibleName);
  edit->setGeometry(geometry);
  return edit;
}

controls::CChkBox* CSkinDialog::MakeCheck(int id, const QString& text, const QRect& geometry) {
  auto* box = new controls::CChkBox(text, this);
  box->setObjectName(QString::number(id));
  box->setAccessibleName(text);
  box->setGeometry(geometry);
  return box;
}

controls::CRadioBtn* CSkinDialog::MakeRadio(int id, const QString& text, const QRect& geometry) {
  auto* radio = new controls::CRadioBtn(text, this);
  radio->setObjectName(QString::number(id));
  radio->setAccessibleName(text);
  radio->setGeometry(geometry);
  return radio;
}

controls::CNBitmapButton* CSkinDialog::MakeButton(int id, const QString& text,
                                                  const QRect& geometry) {
  auto* button = new controls::CNBitmapButton(this);
  button->setObjectName(QString::number(id));
  button->setText(text);
  button->setAccessibleName(text);
  button->setGeometry(geometry);
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

void CSkinDialog::MakeOkCancel(int y, const QString& okText, const QString& cancelText) {
  auto* ok = MakeButton(kOk, okText, QRect(width() - 146, y, 63, 26));
  auto* cancel = MakeButton(kCancel, cancelText, QRect(width() - 76, y, 63, 26));
  connect(ok, &QAbstractButton::clicked, this, [this] { OnOK(); });
  connect(cancel, &QAbstractButton::clicked, this, &QDialog::reject);
}

QMessageBox::StandardButton CSkinDialog::Message(QMessageBox::Icon icon, int captionId, int textId,
                                                 QMessageBox::StandardButtons buttons) {
  return ShowMessage(this, icon, Text(captionId), Text(textId), buttons);
}

void CSkinDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  QLinearGradient band(0, 0, 0, kBandHeight);
  band.setColorAt(0, kBandTop);
  band.setColorAt(1, kBandBottom);
  painter.fillRect(QRect(0, 0, width(), kBandHeight), band);
  if (separator_y_ > 0) {
    QPen dotted(QColor(0xa8, 0xb4, 0xc2));
    dotted.setStyle(Qt::DotLine);
    painter.setPen(dotted);
    painter.drawLine(10, separator_y_, width() - 11, separator_y_);
  }
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(kFrame);
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
}

void CSkinDialog::resizeEvent(QResizeEvent* event) {
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), 5, 5);
  setMask(QRegion(path.toFillPolygon().toPolygon()));
  QDialog::resizeEvent(event);
}

void CSkinDialog::mousePressEvent(QMouseEvent* event) {
  if (drag_.Press(*this, *event)) return;
  QDialog::mousePressEvent(event);
}

void CSkinDialog::mouseMoveEvent(QMouseEvent* event) {
  if (drag_.Move(*this, *event)) return;
  QDialog::mouseMoveEvent(event);
}

void CSkinDialog::mouseReleaseEvent(QMouseEvent* event) {
  drag_.Release();
  QDialog::mouseReleaseEvent(event);
}

}  // namespace qxfw::rules_ui
