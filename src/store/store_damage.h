// What opening the rule store found wrong with its files, and the texts that tell the user.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qxfw::store {

// What opening found wrong with the files, and what became of it.
struct StoreDamage {
  bool ruleHeader = false;     // the rule data file's header failed its checks
  bool journalHeader = false;  // the journal's header failed its checks
  bool levelLost = false;      // the security level's block was damaged too: it reads as 3
  uint32_t rulesKept = 0;      // live records in the intact slots of the rule file
  uint32_t slotsLost = 0;      // slots of the rule file that are damaged too (their rules lost)
  uint32_t journalKept = 0;    // journal entries kept
  bool repaired = false;       // new headers written (a writer only)
  std::string ruleSetAside;    // where the damaged files were copied ("" none)
  std::string journalSetAside;
  std::string repairError;  // why a writer could not repair, "" when it did or did not try

  bool Any() const { return ruleHeader || journalHeader; }
};

// One text for the user about the damage: what was found, what was kept or lost, what was done.
std::string DescribeDamage(const StoreDamage& damage, const std::string& folder);

// The firewall program's message about the damage, from the added texts of the user's language
// (text(number) gives one); "" when there is none.
std::string StoreDamageMessage(const StoreDamage& damage,
                               const std::function<std::string(int number)>& text);

// Numbers of the added texts of that message.
inline constexpr int kTextStoreDamagedTitle = 249;
inline constexpr int kTextRuleHeaderDamaged = 250;
inline constexpr int kTextRuleSlotsLost = 251;
inline constexpr int kTextLevelLost = 252;
inline constexpr int kTextJournalHeaderDamaged = 253;
inline constexpr int kTextDamagedFileKept = 254;
inline constexpr int kTextNotRepaired = 255;

}  // namespace qxfw::store
