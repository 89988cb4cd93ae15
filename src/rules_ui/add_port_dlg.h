// CAddPortDlg: the modal dialog in which an IP/port rule is entered or changed: an address
// range and/or a port range with protocol and description, and Allow or Block. A system or
// hacking-tool port rule opens with everything but the action fixed. User-interface thread only.
#pragma once

#include <optional>

#include "rules_ui/skin_dialog.h"
#include "store/rule_records.h"

namespace qxfw::rules_ui {

class CAddPortDlg : public CSkinDialog {
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
    kActionLabel = 1043,
    kBeginIpLabel = 1045,
    kEndIpLabel = 1046,
    kDescriptionLabel = 1049,
    kDescription = 1050,
    kPortTypeLabel = 1053,
    kPortTypeText = 1054,
    kEndPortLabel = 1055,
    kRangeCheck = 1056,
    kPortCheck = 1125,
    kPortLabel = 1135,
    kIpCheck = 1140,
    kTitle = 1161,
  };

  // Add mode without a record; modify mode with the record before editing.
  CAddPortDlg(TextSource texts, std::optional<store::tagFIREWALL_PORTIP> before,
              QWidget* parent = nullptr);

  // The record OK returned.
  const store::tagFIREWALL_PORTIP& Record() const { return record_; }

 protected:
  void OnOK() override;

 private:
  void ApplyStates();

  store::tagFIREWALL_PORTIP before_{};
  store::tagFIREWALL_PORTIP record_{};
  bool protected_ = false;
};

}  // namespace qxfw::rules_ui
