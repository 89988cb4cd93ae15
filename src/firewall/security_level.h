// The security level: how requests that no rule decides are answered.
//
//   1 Off     allowed
//   2 Low     allowed when signed, to a remote port up to 1024, or from a trusted path
//   3 Medium  allowed when signed (the default)
//   4 High    always put to the user
//
// g_SecurityLevel is the process-wide value; it is read and written on the user-interface
// thread only (the decision, the options dialog, start-up), so it has no lock.
#pragma once

#include <cstdint>

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::firewall {

enum SecurityLevel : int { kLevelOff = 1, kLevelLow = 2, kLevelMedium = 3, kLevelHigh = 4 };

extern int g_SecurityLevel;

// The stored level of the rule data file header; a value outside 1 to 4 (a failed read gives
// 0) becomes Medium.
int LoadSecurityLevel(store::CDBManager& store);

// Medium for anything outside 1 to 4.
int ValidSecurityLevel(int64_t level);

}  // namespace qxfw::firewall
