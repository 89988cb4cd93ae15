// qxfwctl's commands over the rule store: "rules", "level" and "journal".
//
// Each opens the user's rule store (the same data folder and environment overrides as the
// firewall program) for the length of one command. The store holds its files exclusively, so
// while the firewall program runs these commands refuse with a clear message.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qxfw::ctl {

int RunRules(const std::vector<std::string>& words, std::ostream& out);
int RunLevel(const std::vector<std::string>& words, std::ostream& out);
int RunJournal(const std::vector<std::string>& words, std::ostream& out);

}  // namespace qxfw::ctl
