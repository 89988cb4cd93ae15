// CProcessListDlg: the modal dialog that lists the running processes so the user can pick one;
// the add-program dialog takes the picked process's program path from it.
//
// The snapshot and the version texts are read on a worker thread (they read /proc and the
// package database); the rows arrive by a queued call. A process whose program path cannot be
// trusted (another mount namespace, a replaced or deleted executable, a process of another
// user that /proc does not show) cannot be picked: the user is told why. User-interface thread
// only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rules_ui/add_dlg.h"
#include "rules_ui/skin_dialog.h"

namespace qxfw::controls {
class CQXListCtrl;
}
namespace qxfw::rules_ui {
class CProgramIconCache;
}

namespace qxfw::monitor {

class CProcessListDlg : public rules_ui::CSkinDialog {
  Q_OBJECT
 public:
  enum : int { kList = 1029, kTitle = 1161 };

  struct Row {
    uint32_t processId = 0;
    std::string name;
    std::string description;
    std::string path;  // the trusted path; empty when there is none
  };

  explicit CProcessListDlg(rules_ui::TextSource texts, QWidget* parent = nullptr);

  controls::CQXListCtrl* List() const { return list_; }
  const std::vector<Row>& Rows() const { return rows_; }
  bool Filled() const { return filled_; }
  // The picked process (valid after OK).
  uint32_t ChosenProcessId() const { return chosen_.processId; }
  const std::string& ChosenPath() const { return chosen_.path; }

  // Reads one snapshot (any thread).
  static std::vector<Row> ReadProcesses();

 signals:
  void RowsShown();

 protected:
  void OnOK() override;

 private:
  void Show(std::vector<Row> rows);

  controls::CQXListCtrl* list_;
  rules_ui::CProgramIconCache* icons_;
  std::vector<Row> rows_;
  Row chosen_;
  bool filled_ = false;
};

// The add-program dialog's Process List: opens the dialog and answers the picked path.
rules_ui::CAddDlg::ProcessPicker MakeProcessPicker(rules_ui::TextSource texts);

}  // namespace qxfw::monitor
