// CAddDlg: the modal dialog in which a program rule is entered or changed: the program's path
// (typed, browsed for, or taken from a running process), Allow, Block or Advanced Setting, and
// for Advanced Setting the program's policy entries. The policy table is edited in memory; the
// caller stores the record and the table after OK.
//
// Modes: add (empty path, Allow); modify (the path is fixed); policy only (opened by the process
// properties: the path and Allow/Block are fixed). In modify and policy-only mode a rule whose
// action is 2 has its stored table read first; when that fails the dialog does not open.
// User-interface thread only.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rules_ui/skin_dialog.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}
namespace qxfw::controls {
class CQXListCtrl;
}

namespace qxfw::rules_ui {

class CAddDlg : public CSkinDialog {
  Q_OBJECT
 public:
  enum : int {
    kBrowse = 1003,
    kProcessList = 1004,
    kPath = 1005,
    kAllow = 1009,
    kBlock = 1010,
    kAdvanced = 1011,
    kPolicyList = 1014,
    kPolicyAdd = 1015,
    kPolicyDelete = 1016,
    kPolicyModify = 1017,
    kPolicyGroup = 1019,
    kActionLabel = 1043,
    kPathLabel = 1044,
    kTitle = 1161,
  };
  enum class Mode { kAdd, kModify, kPolicyOnly };

  // Picks a running process and answers its program path, or nothing (cancelled, or a process
  // whose path cannot be trusted; the picker tells the user why).
  using ProcessPicker = std::function<std::optional<std::string>(QWidget* parent)>;
  static void SetProcessPicker(ProcessPicker picker);

  // store: where a modified rule's policy table is read from.
  CAddDlg(TextSource texts, store::CDBManager& store, Mode mode,
          const store::tagFIREWALL_PROGRAM& record = {}, QWidget* parent = nullptr);

  // False when the rule's stored policy table could not be read; exec then returns Rejected
  // without showing the dialog.
  bool IsReady() const { return ready_; }
  int exec() override;

  // What OK returned: the record (path and action) and, for action 2, the policy table.
  const store::tagFIREWALL_PROGRAM& Record() const { return record_; }
  const store::tagPOLICY_TABLE& PolicyTable() const { return table_; }
  const std::vector<store::tagPOLICY>& PolicyEntries() const { return entries_; }
  controls::CQXListCtrl* PolicyList() const { return list_; }

  void OnPolicyAdd();
  void OnPolicyModify();
  void OnPolicyDelete();

 protected:
  void OnOK() override;

 private:
  void ApplyStates();
  void AddPolicyRow(int row, const store::tagPOLICY& entry);
  void OnBrowse();
  void OnProcessList();
  // Opens the policy dialog until an entry is taken or the user cancels; apply tries the entry
  // on the table (a conflict shows "Data already exists" and the dialog opens again).
  void EditPolicy(std::optional<store::tagPOLICY> start,
                  const std::function<bool(const store::tagPOLICY&)>& apply);

  Mode mode_;
  store::tagFIREWALL_PROGRAM record_{};
  store::tagPOLICY_TABLE table_{};
  std::vector<store::tagPOLICY> entries_;
  controls::CQXListCtrl* list_ = nullptr;
  bool ready_ = true;
};

}  // namespace qxfw::rules_ui
