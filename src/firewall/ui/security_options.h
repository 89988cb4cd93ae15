// CSecurityOptions: the modal dialog in which the user chooses the security level. A vertical
// four-step slider (High at the top, Off at the bottom) with the name and description of the
// chosen level; OK stores the level in the rule data file and makes it effective at once,
// after a confirmation when the firewall is being turned off. Cancel, the close button and
// Escape leave everything as it was.
//
// A level that cannot be stored is still applied for this run, and the user is told.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QPoint>
#include <functional>
#include <string>

namespace qxfw::store {
class CDBManager;
}
namespace qxfw::controls {
class CColorStatic;
class CMacSliderCtrl;
class CNBitmapButton;
}  // namespace qxfw::controls

namespace qxfw::firewall {

class CSecurityOptions : public QDialog {
  Q_OBJECT
 public:
  enum : int {
    IDD = 367,
    kOk = 1,
    kCancel = 2,
    kLevelName = 1166,
    kDescription = 1167,
    kSlider = 1192,
    kClose = 1194,
    kTitle = 1197,
  };
  static constexpr int kWidth = 475;
  static constexpr int kHeight = 246;

  // level: the running level (g_SecurityLevel in the program); texts: the string table;
  // pageFolder: where "image/security_setup_blank.gif" is (may be empty).
  CSecurityOptions(store::CDBManager& store, int& level, std::function<QString(int id)> texts,
                   const std::string& pageFolder, QWidget* parent = nullptr);

  // The level at slider position (1 at the top): 5 - position.
  static int LevelAt(int position) { return 5 - position; }
  // String numbers of a level's name and description; a level other than 1, 2 or 4 gets
  // Medium's.
  static int NameString(int level);
  static int DescriptionString(int level);

  QWidget* Control(int id) const;
  controls::CMacSliderCtrl* Slider() const { return slider_; }

  // OK: stores the chosen level (after the confirmation for Off) and closes.
  void OnOK();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowLevel(int level);
  QString Text(int id) const;

  store::CDBManager& store_;
  int& level_;
  std::function<QString(int)> texts_;
  QString background_;
  controls::CMacSliderCtrl* slider_ = nullptr;
  controls::CColorStatic* name_ = nullptr;
  controls::CColorStatic* description_ = nullptr;
  bool dragging_ = false;
  QPoint dragOffset_;
};

}  // namespace qxfw::firewall
