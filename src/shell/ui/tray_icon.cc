#include "shell/ui/tray_icon.h"

#include <QAction>
#include <QIcon>
#include <QMenu>

// The images of the shell live in a resource of this static library; it must be registered
// before its first use.
static void InitShellResources() {
  Q_INIT_RESOURCE(shell_ui);
}

namespace qxfw::shell {
namespace {

struct Item {
  int id;
  const char* english;
  const char* korean;
};

constexpr Item kTop[] = {
    {kCmdShowMain, "Talvoran Firewall", "탈보란 방화벽"},
    {kCmdNetworkGraph, "Network Graph", "네트워크 그래프"},
    {kCmdLogView, "Log view", "로그 보기"},
    {kCmdVirusScan, "Virus Scan", "바이러스 검사"},
};
constexpr Item kFirewallMenu[] = {
    {kCmdNetworkSetting, "Network Setting", "네트워크 설정"},
    {kCmdProgramSetting, "Program Setting", "프로그램 설정"},
    {kCmdIpPortSetting, "IP/Port Setting", "IP/포트 설정"},
    {kCmdShareSetting, "Share Setting", "공유 폴더 설정"},
};
constexpr Item kTurnOff = {kCmdTurnOff, "Turn off", "방화벽 끄기"};

QAction* AddItem(QMenu* menu, const Item& item, bool korean, QObject* receiver) {
  QAction* action = menu->addAction(QString::fromUtf8(korean ? item.korean : item.english));
  action->setObjectName(QStringLiteral("cmd%1").arg(item.id));
  action->setData(item.id);
  if (auto* tray = qobject_cast<CTrayIcon*>(receiver)) {
    QObject::connect(action, &QAction::triggered, tray,
                     [tray, id = item.id] { emit tray->Command(id); });
  }
  return action;
}

}  // namespace

QMenu* BuildTrayMenu(bool turnOffVariant, bool korean, QObject* receiver) {
  auto* menu = new QMenu;
  int number = turnOffVariant ? (korean ? 461 : 495) : (korean ? 155 : 494);
  menu->setObjectName(QString::number(number));
  for (const Item& item : kTop) {
    QAction* action = AddItem(menu, item, korean, receiver);
    if (item.id == kCmdShowMain) {
      QFont bold = action->font();
      bold.setBold(true);
      action->setFont(bold);
      menu->setDefaultAction(action);
    }
  }
  QMenu* firewall = menu->addMenu(QString::fromUtf8(korean ? "방화벽 메뉴" : "Firewall Menu"));
  firewall->setObjectName(QStringLiteral("firewallMenu"));
  for (const Item& item : kFirewallMenu) AddItem(firewall, item, korean, receiver);
  if (turnOffVariant) {
    menu->addSeparator();
    AddItem(menu, kTurnOff, korean, receiver);
  }
  return menu;
}

CTrayIcon::CTrayIcon(bool turnOffVariant, bool korean, QObject* parent)
    : QObject(parent), icon_(new QSystemTrayIcon(this)) {
  InitShellResources();
  setObjectName(QStringLiteral("trayIcon"));
  menu_.reset(BuildTrayMenu(turnOffVariant, korean, this));
  icon_->setIcon(QIcon(QStringLiteral(":/qxfw/tray_off.svg")));
  icon_->setContextMenu(menu_.get());
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) emit DoubleClicked();
  });
  icon_->show();
}

CTrayIcon::~CTrayIcon() {
  icon_->hide();
}

void CTrayIcon::SetTip(const QString& tip) {
  icon_->setToolTip(tip);
}

QString CTrayIcon::Tip() const {
  return icon_->toolTip();
}

void CTrayIcon::SetLook(TrayLook look) {
  if (look == look_) return;
  look_ = look;
  const char* file = look == TrayLook::kProtected      ? ":/qxfw/tray.svg"
                     : look == TrayLook::kNotProtected ? ":/qxfw/tray_off.svg"
                                                       : ":/qxfw/tray_wait.svg";
  icon_->setIcon(QIcon(QString::fromLatin1(file)));
}

}  // namespace qxfw::shell
