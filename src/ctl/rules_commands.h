// qxfwctl's commands over the rule store: "rules", "level" and "journal".
//
// Each opens the user's rule store (the same data folder and environment overrides as the
// firewall program) for the length of one command. The store holds its files exclusively, so
// while the firewall program runs, qxfwctl hands these commands to it (program_link.h), which
// runs them on its own store.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ctl/ctl_support.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::ctl {

// The rule data file is held by a running firewall program.
struct StoreHeld : CommandFailed {
  using CommandFailed::CommandFailed;
};

// While set (the firewall program runs a command for qxfwctl), the commands use this store
// instead of opening their own; null restores the default.
void SetBorrowedStore(store::CDBManager* db);

// Runs "rules", "level" or "journal" with its words (words[0] is the command) and returns the
// exit status (0 done, 1 failed, 2 bad arguments) with the message of a failure in *error;
// kStoreHeld when the store is held by a running program, -1 for another command.
inline constexpr int kStoreHeld = 3;
int RunStoreCommand(const std::vector<std::string>& words, std::ostream& out, std::string* error);

int RunRules(const std::vector<std::string>& words, std::ostream& out);
int RunLevel(const std::vector<std::string>& words, std::ostream& out);
int RunJournal(const std::vector<std::string>& words, std::ostream& out);

}  // namespace qxfw::ctl
