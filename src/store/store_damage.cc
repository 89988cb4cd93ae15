#include "store/store_damage.h"

#include "store/string_table.h"

namespace qxfw::store {

std::string DescribeDamage(const StoreDamage& damage, const std::string& folder) {
  if (!damage.Any()) return {};
  std::string text;
  if (damage.ruleHeader) {
    text += "The rule data file QLFW.dat is damaged: its header cannot be read. " +
            std::to_string(damage.rulesKept) +
            (damage.rulesKept == 1 ? " rule was" : " rules were") + " read from its intact slots";
    if (damage.slotsLost > 0) {
      text += "; " + std::to_string(damage.slotsLost) +
              (damage.slotsLost == 1 ? " slot is" : " slots are") + " damaged too and lost";
    }
    text += damage.levelLost ? "; the security level could not be read and is set to Medium."
                             : "; the security level was kept.";
  }
  if (damage.journalHeader) {
    text += std::string(text.empty() ? "" : " ") +
            "The journal of rule changes QLFW.log is damaged: its header cannot be read; " +
            std::to_string(damage.journalKept) +
            (damage.journalKept == 1 ? " entry was" : " entries were") + " kept.";
  }
  if (damage.repaired) {
    text += " The damaged file was kept as";
    if (!damage.ruleSetAside.empty()) text += " " + damage.ruleSetAside;
    if (!damage.ruleSetAside.empty() && !damage.journalSetAside.empty()) text += " and";
    if (!damage.journalSetAside.empty()) text += " " + damage.journalSetAside;
    text += ", and the store was repaired with what could be read.";
  } else if (!damage.repairError.empty()) {
    text += " It could not be repaired (" + damage.repairError + "); nothing was changed.";
  } else {
    text += " Nothing was changed. The store in " + folder +
            " is repaired when the firewall program starts or a rule is changed; the damaged "
            "file is then kept beside it with the ending \".bad\".";
  }
  return text;
}

std::string StoreDamageMessage(const StoreDamage& damage,
                               const std::function<std::string(int number)>& text) {
  if (!damage.Any()) return {};
  std::string message;
  auto add = [&](int number, std::string_view argument) {
    message += (message.empty() ? "" : "\n\n") + FillText(text(number), {argument});
  };
  if (damage.ruleHeader) {
    add(kTextRuleHeaderDamaged, std::to_string(damage.rulesKept));
    if (damage.slotsLost > 0) add(kTextRuleSlotsLost, std::to_string(damage.slotsLost));
    if (damage.levelLost) add(kTextLevelLost, {});
  }
  if (damage.journalHeader) add(kTextJournalHeaderDamaged, std::to_string(damage.journalKept));
  if (damage.repaired) {
    if (!damage.ruleSetAside.empty()) add(kTextDamagedFileKept, damage.ruleSetAside);
    if (!damage.journalSetAside.empty()) add(kTextDamagedFileKept, damage.journalSetAside);
  } else {
    add(kTextNotRepaired, damage.repairError);
  }
  return message;
}

}  // namespace qxfw::store
