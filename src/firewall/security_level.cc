#include "firewall/security_level.h"

#include "store/db_manager.h"

namespace qxfw::firewall {

int g_SecurityLevel = kLevelMedium;

int ValidSecurityLevel(int64_t level) {
  return level >= kLevelOff && level <= kLevelHigh ? static_cast<int>(level) : kLevelMedium;
}

int LoadSecurityLevel(store::CDBManager& store) {
  return ValidSecurityLevel(store.GetSecurityLevel());
}

}  // namespace qxfw::firewall
