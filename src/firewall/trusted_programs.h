// Registration of the trusted programs: the default browser, the account and message bus
// services, the print spooler and this product's companion programs get an allow rule when
// the driver channel starts, unless a rule for their path exists already.
//
// The browser and the two services come with a policy table of the ports they need; as the
// rules are added with action allow, the store does not keep those tables and the programs are
// allowed on every port. Runs on the user-interface thread (it enumerates and changes the
// store).
#pragma once

#include <string>
#include <vector>

#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}
namespace qxfw::shell {
class CAppPaths;
}

namespace qxfw::firewall {

struct TrustedProgram {
  std::string path;
  bool hasTable = false;
  store::tagPOLICY_TABLE table{};
};

// The entries in registration order: browser, account service, message bus, print spooler,
// then the seven companion slots; the program's own path is not among them.
std::vector<TrustedProgram> TrustedProgramsOf(const shell::CAppPaths& paths);

// The port tables of the browser, the account service and the message bus.
store::tagPOLICY_TABLE BrowserPolicyTable();
store::tagPOLICY_TABLE AccountServicePolicyTable();
store::tagPOLICY_TABLE MessageBusPolicyTable();

// Adds an allow rule for each entry whose path is not empty, names an existing file and has no
// program rule yet (paths compared ignoring case). Returns the number of rules added.
int RegisterTrustedPrograms(store::CDBManager& store, const std::vector<TrustedProgram>& programs);

}  // namespace qxfw::firewall
