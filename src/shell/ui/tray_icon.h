// CTrayIcon: the notification-area icon of the main window and its menu.
//
// The menu comes in two variants (the command line's e option) and two languages: variant
// clear, Korean menu 155 / English menu 494; variant set, Korean 461 / English 495, which add
// "Turn off". Each item carries its command identifier; the icon reports a chosen command and
// its double click. Menu objectNames are the menu numbers, item objectNames "cmd<id>".
// The icon has three looks (protected, not protected, a prompt waiting); the tip says which.
// User-interface thread only.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

#include "shell/home_state.h"

class QMenu;

namespace qxfw::shell {

enum TrayCommand : int {
  kCmdShowMain = 32771,
  kCmdTurnOff = 32772,
  kCmdLogView = 32785,
  kCmdNetworkSetting = 32786,
  kCmdProgramSetting = 32787,
  kCmdIpPortSetting = 32788,
  kCmdShareSetting = 32789,
  kCmdVirusScan = 32790,
  kCmdNetworkGraph = 32793,
};

// The tray menu of a variant and language; the caller owns it.
QMenu* BuildTrayMenu(bool turnOffVariant, bool korean, QObject* receiver);

class CTrayIcon : public QObject {
  Q_OBJECT
 public:
  CTrayIcon(bool turnOffVariant, bool korean, QObject* parent = nullptr);
  ~CTrayIcon() override;

  QMenu* Menu() const { return menu_.get(); }
  QSystemTrayIcon* Icon() const { return icon_; }
  void SetTip(const QString& tip);
  QString Tip() const;
  // Shows the look; the icon says "not protected" until it is told otherwise.
  void SetLook(TrayLook look);
  TrayLook Look() const { return look_; }

 signals:
  void Command(int id);
  void DoubleClicked();

 private:
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* icon_;
  TrayLook look_ = TrayLook::kNotProtected;
};

}  // namespace qxfw::shell
