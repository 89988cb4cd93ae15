#include "firewall/ui/security_options.h"

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "controls/color_static.h"
#include "controls/mac_slider_ctrl.h"
#include "controls/n_bitmap_button.h"
#include "controls/skin_image.h"
#include "platform/debug_output.h"
#include "store/db_manager.h"

namespace qxfw::firewall {
namespace {

const QColor kTextColor(0x34, 0x34, 0x34);
const QColor kBandTop(0x2f, 0x74, 0xb8);
const QColor kBandBottom(0x1d, 0x55, 0x91);
constexpr int kBandHeight = 30;
constexpr int kPanelLeft = 10;
constexpr int kPanelTop = 33;
constexpr int kPanelBottom = 202;
constexpr int kSliderLeft = 30;
constexpr int kSliderTop = 48;
constexpr int kSliderHeight = 140;
constexpr int kTextLeft = 150;
// Shown when the level cannot be written to the rule data file.
constexpr int kWriteErrorString = 131;

}  // namespace

int CSecurityOptions::NameString(int level) {
  switch (level) {
    case 4:
      return 157;
    case 2:
      return 155;
    case 1:
      return 154;
    default:
      return 156;
  }
}

int CSecurityOptions::DescriptionString(int level) {
  switch (level) {
    case 4:
      return 153;
    case 2:
      return 151;
    case 1:
      return 150;
    default:
      return 152;
  }
}

CSecurityOptions::CSecurityOptions(store::CDBManager& store, int& level,
                                   std::function<QString(int id)> texts,
                                   const std::string& pageFolder, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      store_(store),
      level_(level),
      texts_(std::move(texts)) {
  setObjectName(QString::number(IDD));
  // Modal to the main window only: a prompt that comes up meanwhile can still be answered.
  setWindowModality(Qt::WindowModal);
  setWindowTitle(Text(149));
  setWindowIcon(QApplication::windowIcon());
  setFixedSize(kWidth, kHeight);
  setMouseTracking(true);
  if (!pageFolder.empty()) {
    background_ =
        QString::fromStdString(pageFolder) + QStringLiteral("image/security_setup_blank.gif");
  }

  auto* title = new controls::CColorStatic(Text(170), this);
  title->setObjectName(QString::number(kTitle));
  title->SetTextColor(Qt::white);
  QFont titleFont = title->font();
  titleFont.setPixelSize(12);
  titleFont.setWeight(QFont::Bold);
  title->setFont(titleFont);
  title->setGeometry(10, 0, 400, kBandHeight);
  title->setAttribute(Qt::WA_TransparentForMouseEvents);

  slider_ = new controls::CMacSliderCtrl(Qt::Vertical, this);
  slider_->setObjectName(QString::number(kSlider));
  slider_->SetInverted(true);  // position 1 (High) at the top
  slider_->setRange(1, 4);
  slider_->setSingleStep(1);
  slider_->setPageStep(1);
  slider_->setGeometry(kSliderLeft, kSliderTop, 32, kSliderHeight);

  name_ = new controls::CColorStatic(this);
  name_->setObjectName(QString::number(kLevelName));
  name_->SetTextColor(kTextColor);
  QFont nameFont = name_->font();
  nameFont.setPixelSize(15);
  nameFont.setWeight(QFont::Bold);
  name_->setFont(nameFont);
  name_->setGeometry(kTextLeft, 50, 300, 24);

  description_ = new controls::CColorStatic(this);
  description_->setObjectName(QString::number(kDescription));
  description_->SetTextColor(kTextColor);
  QFont textFont = description_->font();
  textFont.setPixelSize(12);
  description_->setFont(textFont);
  description_->setWordWrap(true);
  description_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  description_->setGeometry(kTextLeft, 82, 305, 112);

  auto button = [&](int id, int stringId, int left) {
    auto* b = new controls::CNBitmapButton(this);
    b->setObjectName(QString::number(id));
    b->setText(Text(stringId));
    b->setGeometry(left, 210, 63, 26);
    b->setCursor(Qt::PointingHandCursor);
    return b;
  };
  connect(button(kOk, 24, 317), &QAbstractButton::clicked, this, &CSecurityOptions::OnOK);
  connect(button(kCancel, 25, 383), &QAbstractButton::clicked, this, &QDialog::reject);
  auto* close = new controls::CNBitmapButton(this, controls::CNBitmapButton::Skin::kClose);
  close->setObjectName(QString::number(kClose));
  close->setGeometry(448, 8, 17, 17);
  close->setCursor(Qt::PointingHandCursor);
  connect(close, &QAbstractButton::clicked, this, &QDialog::reject);

  connect(slider_, &QAbstractSlider::valueChanged, this,
          [this](int position) { ShowLevel(LevelAt(position)); });
  slider_->setValue(5 - level_);
  ShowLevel(level_);
  slider_->setFocus();
}

QString CSecurityOptions::Text(int id) const {
  return texts_ ? texts_(id) : QString();
}

QWidget* CSecurityOptions::Control(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void CSecurityOptions::ShowLevel(int level) {
  name_->setText(Text(NameString(level)));
  description_->setText(Text(DescriptionString(level)));
  update();
}

void CSecurityOptions::OnOK() {
  const int level = LevelAt(slider_->value());
  if (level == 1) {
    QMessageBox::StandardButton answer = QMessageBox::question(
        this, Text(174), Text(158), QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) return;
  }
  if (store_.SetSecurityLevel(static_cast<uint32_t>(level)) == 0) {
    // The level still applies to this run; the user learns it will not survive a restart.
    QMessageBox::warning(this, Text(174), Text(kWriteErrorString));
  }
  level_ = level;
  platform::DebugOutput("g_SecurityLevel=%x", static_cast<unsigned>(level));
  accept();
}

void CSecurityOptions::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(0xf3, 0xf6, 0xfa));
  QLinearGradient band(0, 0, 0, kBandHeight);
  band.setColorAt(0, kBandTop);
  band.setColorAt(1, kBandBottom);
  painter.fillRect(QRect(0, 0, width(), kBandHeight), band);
  const QRectF panel(kPanelLeft, kPanelTop, width() - 2 * kPanelLeft, kPanelBottom - kPanelTop);
  if (background_.isEmpty() || !controls::PaintSkin(painter, background_, panel)) {
    painter.fillRect(panel, QColor(0xee, 0xf2, 0xf8));
  }
  painter.setPen(QColor(0xcd, 0xd7, 0xe2));
  painter.drawRect(panel.adjusted(0, 0, -1, -1));
  // The level names beside the steps of the slider.
  QFont small = font();
  small.setPixelSize(11);
  painter.setFont(small);
  for (int position = 1; position <= 4; ++position) {
    QPoint centre = slider_->mapTo(this, slider_->KnobCentre(position));
    painter.setPen(position == slider_->value() ? QColor(0x1d, 0x4f, 0x86)
                                                : QColor(0x68, 0x75, 0x85));
    painter.drawText(QRect(kSliderLeft + 38, centre.y() - 8, 70, 16),
                     Qt::AlignLeft | Qt::AlignVCenter, Text(NameString(LevelAt(position))));
  }
  painter.setPen(QColor(0x1d, 0x55, 0x91));
  painter.setRenderHint(QPainter::Antialiasing);
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
}

void CSecurityOptions::resizeEvent(QResizeEvent* event) {
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), 5, 5);
  setMask(QRegion(path.toFillPolygon().toPolygon()));
  QDialog::resizeEvent(event);
}

void CSecurityOptions::mousePressEvent(QMouseEvent* event) {
  if (drag_.Press(*this, *event)) return;
  QDialog::mousePressEvent(event);
}

void CSecurityOptions::mouseMoveEvent(QMouseEvent* event) {
  if (drag_.Move(*this, *event)) return;
  QDialog::mouseMoveEvent(event);
}

void CSecurityOptions::mouseReleaseEvent(QMouseEvent* event) {
  drag_.Release();
  QDialog::mouseReleaseEvent(event);
}

}  // namespace qxfw::firewall
