// What the rule dialogs accept: the checks of their OK buttons and the enable cascades of their
// check boxes and radios, as data the Qt dialogs apply.
//
// Each check reads the fields as the user left them and either fills the record and accepts, or
// names the message (string number) and caption to show while the dialog stays open. Ports are
// range-checked as numbers before they become 16-bit fields, so 65537 is refused, never read as
// 1. Stateless and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/rule_records.h"

namespace qxfw::rules_ui {

// A port field: empty is 0 (no port); decimal digits up to 65535; anything else none.
std::optional<uint16_t> ParsePortField(std::string_view text);
// An address field: a dotted quad of four 0-255 numbers; empty or anything else is 0.
uint32_t ParseAddressField(std::string_view text);

// The outcome of an OK: message 0 accepts; otherwise the message and caption string numbers.
struct CheckResult {
  int message = 0;
  int caption = 0;
  bool Accepted() const { return message == 0; }
};

// Add-program dialog. choice: 0 Block, 1 Allow, 2 Advanced Setting.
struct ProgramFields {
  std::string path;
  int choice = 1;
  uint32_t policyCount = 0;
};
// 84 "Path is blank", 94 "Invalid path..." for a path longer than the record holds, 85 "No
// Policy"; caption 196. Accepting sets the path and the action of *rule (other fields kept).
CheckResult CheckProgramFields(const ProgramFields& fields, store::tagFIREWALL_PROGRAM* rule);

// Add-port dialog.
struct PortFields {
  bool ipChecked = true;
  std::string beginIp, endIp;
  bool portChecked = true;
  std::string beginPort, endPort;
  bool rangeChecked = false;
  bool tcp = true;
  std::string description;
  bool allow = true;
};
// Starts from `before` (the record before editing, zero for a new rule). Messages: 90 (caption
// 194) neither condition; 86 and 91 (caption 207) for the addresses; 87, 92 and 93 (caption
// 194) for the ports and the description. A port over 65535 counts as a port that cannot be
// assigned (87). An address-only system or hacking-tool rule keeps its port type.
CheckResult CheckPortFields(const PortFields& fields, const store::tagFIREWALL_PORTIP& before,
                            store::tagFIREWALL_PORTIP* rule);
// Longest description the dialog takes.
inline constexpr size_t kDescriptionLimit = 31;

// Policy dialog.
struct PolicyFields {
  bool ipChecked = true;
  std::string beginIp, endIp;
  bool portChecked = true;
  std::string beginPort, endPort;
  bool tcp = true;
  bool allow = true;
};
// Messages (caption 206): 193 no condition, 182 an address missing, 184 begin above end,
// 183 a port missing or over 65535, 185 begin port above end port.
CheckResult CheckPolicyFields(const PolicyFields& fields, store::tagPOLICY* entry);

// One control's state in a cascade.
struct ControlState {
  int id;
  bool enabled;
  bool visible = true;
};

// Add-program dialog: the policy controls (1014 to 1017) follow "Advanced Setting"; modify mode
// fixes the path (1005, 1003, 1004); a dialog opened for a policy only fixes Allow and Block.
std::vector<ControlState> ProgramDialogStates(bool advanced, bool modifyMode, bool policyOnly);
// Add-port dialog: 1140 governs the addresses, 1125 the port controls, 1056 shows the end port.
// A protected rule (system or hacking-tool port) leaves only the action to change.
std::vector<ControlState> PortDialogStates(bool ipChecked, bool portChecked, bool rangeChecked,
                                           bool protectedRule);
// Policy dialog: 1026 governs the addresses, 1027 the ports and the protocol.
std::vector<ControlState> PolicyDialogStates(bool ipChecked, bool portChecked);

}  // namespace qxfw::rules_ui
