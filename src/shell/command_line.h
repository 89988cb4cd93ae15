// The firewall program's start-up options, as the companion passes them.
//
// The option text is the program's arguments joined by blanks. A piece starts at a "/" that
// begins the text or follows a blank; its first character is the option letter (case
// sensitive), the second a separator of the caller's choice, and the value starts at the
// third. A value is at most 260 characters and trimmed of blanks and double quotes at both
// ends; a blank therefore cannot be the separator. Unknown letters are ignored.
//
// G and P carry rule lists that start-up stores at once (StoreRules); the other letters set
// flags that start-up reads. Parsing never touches the store. Stateless; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text_split.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::shell {

inline constexpr size_t kOptionValueLimit = 260;
inline constexpr size_t kMaxTrustedPaths = 255;

struct StartOptions {
  // One G or P option: its letter and its value, in the order given.
  struct RuleOption {
    char letter;
    std::string value;
    // The value was longer than 260 characters: the cut list could end in a shortened path, so
    // it adds nothing.
    bool cut = false;
  };
  std::vector<RuleOption> ruleOptions;
  std::optional<bool> antivirusEnabled;   // a
  std::optional<int> updateMode;          // b
  std::optional<bool> trayMenuVariant;    // e: "off" clears it
  bool levelRaisePermitted = true;        // f: only "site" permits; absent permits
  std::optional<int> requestedLevel;      // l: clamped to 4 above 4 and below 0
  std::vector<std::string> trustedPaths;  // p, at most 255
  std::optional<bool> startScan;          // s

  bool HasRules() const { return !ruleOptions.empty(); }
};

using platform::JoinArguments;

// Splits and reads the option text. Values that do not parse (an l or b that is not a
// decimal integer) leave their option unset.
StartOptions ParseStartOptions(std::string_view text);

// Parses every G and P list and adds their rules to the store in order until one addition
// fails. A list with more than 50 items, or with an item that does not have exactly 2 (G) or
// 8 (P) valid fields, adds nothing. Returns the number of rules added.
int StoreRules(const StartOptions& options, store::CDBManager& db);

// The level after the l option: raised to the requested level when that is above current
// and the f option did not forbid it.
int LevelAfterOptions(const StartOptions& options, int current);

}  // namespace qxfw::shell
