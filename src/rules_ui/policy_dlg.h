// CPolicyDlg: the small modal dialog in which one entry of a program's policy is entered or
// changed: an address range and/or a port range with its protocol, and Allow or Block. The
// conflict test against the program's other entries is the add-program dialog's; this dialog
// only checks the entry itself. User-interface thread only.
#pragma once

#include <optional>

#include "rules_ui/skin_dialog.h"
#include "store/rule_records.h"

namespace qxfw::rules_ui {

class CPolicyDlg : public CSkinDialog {
  Q_OBJECT
 public:
  enum : int {
    kAllow = 1009,
    kBlock = 1010,
    kBeginIp = 1020,
    kEndIp = 1021,
    kBeginPort = 1022,
    kEndPort = 1023,
    kTcp = 1024,
    kUdp = 1025,
    kIpCheck = 1026,
    kPortCheck = 1027,
    kActionLabel = 1043,
    kBeginIpLabel = 1045,
    kEndIpLabel = 1046,
    kBeginPortLabel = 1135,
    kEndPortLabel = 1136,
    kTitle = 1197,
  };

  // Add mode without an entry; modify mode with the entry to change.
  CPolicyDlg(TextSource texts, std::optional<store::tagPOLICY> entry, QWidget* parent = nullptr);

  // The entry OK returned (zero until then).
  const store::tagPOLICY& Entry() const { return result_; }

 protected:
  void OnOK() override;

 private:
  void ApplyStates();

  store::tagPOLICY result_{};
};

}  // namespace qxfw::rules_ui
