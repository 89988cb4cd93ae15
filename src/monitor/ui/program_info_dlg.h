// CProgramInfoDlg: the modal dialog that shows the version information of a program file: its
// path, file name, product, maker, version and description ("n/a" for what is not known).
// The texts are read on a worker thread (the package database) and arrive by a queued call.
// User-interface thread only.
#pragma once

#include <array>
#include <string>

#include "rules_ui/skin_dialog.h"

namespace qxfw::monitor {

class CProgramInfoDlg : public rules_ui::CSkinDialog {
  Q_OBJECT
 public:
  enum : int {
    kIcon = 1150,
    kPath = 1151,
    kFileName = 1152,
    kProductName = 1153,
    kCompanyName = 1154,
    kFileVersion = 1155,
    kDescription = 1156,
    kTitle = 1161,
  };

  CProgramInfoDlg(rules_ui::TextSource texts, std::string path, QWidget* parent = nullptr);

  bool Filled() const { return filled_; }
  // The shown text of a value control.
  QString Value(int id) const;

 signals:
  void InfoShown();

 private:
  void Show(const std::array<std::string, 4>& texts, const std::string& iconName);

  std::string path_;
  bool filled_ = false;
};

}  // namespace qxfw::monitor
