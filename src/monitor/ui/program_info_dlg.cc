#include "monitor/ui/program_info_dlg.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QThreadPool>

#include "controls/color_static.h"
#include "controls/n_bitmap_button.h"
#include "monitor/version_info.h"
#include "rules_ui/icon_cache.h"
#include "rules_ui/rule_rows.h"

namespace qxfw::monitor {
namespace {

const QColor kLabelBackground(0x00, 0x66, 0xCC);  // 0xCC6600 in BGR

QString OrNa(const std::string& text) {
  return text.empty() ? QStringLiteral("n/a") : QString::fromStdString(text);
}

}  // namespace

CProgramInfoDlg::CProgramInfoDlg(rules_ui::TextSource texts, std::string path, QWidget* parent)
    : CSkinDialog(std::move(texts), 400, 260, 214, parent), path_(std::move(path)) {
  setObjectName(QStringLiteral("CProgramInfoDlg"));
  MakeTitle(kTitle, Text(99));
  auto* icon = new QLabel(this);
  icon->setObjectName(QString::number(kIcon));
  icon->setAccessibleName(Text(99));
  icon->setGeometry(16, 44, 32, 32);
  icon->setPixmap(rules_ui::CProgramIconCache::GenericIcon().pixmap(32, 32));

  struct Field {
    int labelString;
    int id;
  };
  // The file name beside the icon, then the labelled texts.
  MakeLabel(kFileName, QString(), QRect(60, 50, 326, 22))->setAccessibleName(Text(99));
  const Field fields[] = {
      {71, kPath}, {73, kProductName}, {72, kCompanyName}, {74, kFileVersion}, {70, kDescription}};
  int y = 84;
  for (const Field& field : fields) {
    auto* label = MakeLabel(field.id + 100, Text(field.labelString), QRect(16, y, 110, 22));
    label->SetTextColor(Qt::white);
    label->SetBkColor(kLabelBackground);
    auto* value = MakeLabel(field.id, QString(), QRect(132, y, 256, 22));
    value->setAccessibleName(Text(field.labelString));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    y += 25;
  }
  ControlAs<QLabel>(kPath)->setText(QString::fromStdString(path_));
  ControlAs<QLabel>(kPath)->setToolTip(QString::fromStdString(path_));
  ControlAs<QLabel>(kFileName)->setText(OrNa(rules_ui::ProgramFileName(path_)));
  auto* ok = MakeButton(kOk, Text(24), QRect(width() - 76, 224, 63, 26));
  connect(ok, &QAbstractButton::clicked, this, &QDialog::accept);

  QPointer<CProgramInfoDlg> self(this);
  QThreadPool::globalInstance()->start([self, path = path_] {
    CFileVersionInfo info(path);
    std::array<std::string, 4> texts = {
        info.Get(CFileVersionInfo::kProductName), info.Get(CFileVersionInfo::kCompanyName),
        info.Get(CFileVersionInfo::kFileVersion), info.Get(CFileVersionInfo::kFileDescription)};
    std::string iconName = DesktopIconOf(path);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, texts, iconName] {
          if (self) self->Show(texts, iconName);
        },
        Qt::QueuedConnection);
  });
}

QString CProgramInfoDlg::Value(int id) const {
  auto* label = ControlAs<QLabel>(id);
  return label != nullptr ? label->text() : QString();
}

void CProgramInfoDlg::Show(const std::array<std::string, 4>& texts, const std::string& iconName) {
  const int ids[] = {kProductName, kCompanyName, kFileVersion, kDescription};
  for (size_t i = 0; i < texts.size(); ++i) ControlAs<QLabel>(ids[i])->setText(OrNa(texts[i]));
  if (!iconName.empty()) {
    QString name = QString::fromStdString(iconName);
    QIcon icon = QFileInfo(name).isAbsolute() ? QIcon(name) : QIcon::fromTheme(name);
    if (!icon.isNull()) ControlAs<QLabel>(kIcon)->setPixmap(icon.pixmap(32, 32));
  }
  filled_ = true;
  emit InfoShown();
}

}  // namespace qxfw::monitor
