#include "firewall/trusted_programs.h"

#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <utility>

#include "platform/debug_output.h"
#include "platform/text_compare.h"
#include "shell/app_paths.h"
#include "store/db_manager.h"

namespace qxfw::firewall {
namespace {

using store::kProtocolTcp;
using store::kProtocolUdp;

store::tagPOLICY_TABLE PortTable(std::initializer_list<std::pair<uint16_t, uint16_t>> ports) {
  store::tagPOLICY_TABLE table{};
  for (auto [protocol, port] : ports) {
    store::tagPOLICY& entry = table.entries[table.count++];
    entry.action = 1;
    entry.beginPort = entry.endPort = port;
    entry.protocol = protocol;
  }
  return table;
}

bool HasProgramRule(store::CDBManager& store, const std::string& path) {
  store::tagFIREWALL_PROGRAM rule;
  bool found = false;
  store.Select(store::CDBManager::kSelectRuleFile);
  while (!found && store.Select(store::CDBManager::kSelectProgram) && store.GetProgram(&rule)) {
    found = platform::EqualNoCase(
        std::string_view(rule.path, strnlen(rule.path, sizeof(rule.path))), path);
  }
  store.Select(store::CDBManager::kSelectRuleFile);
  return found;
}

}  // namespace

store::tagPOLICY_TABLE BrowserPolicyTable() {
  return PortTable({{kProtocolTcp, 80}, {kProtocolTcp, 443}});
}

store::tagPOLICY_TABLE AccountServicePolicyTable() {
  return PortTable({{kProtocolTcp, 88},
                    {kProtocolUdp, 88},
                    {kProtocolTcp, 339},
                    {kProtocolTcp, 464},
                    {kProtocolUdp, 464},
                    {kProtocolUdp, 500},
                    {kProtocolTcp, 636},
                    {kProtocolTcp, 4500},
                    {kProtocolUdp, 4500}});
}

store::tagPOLICY_TABLE MessageBusPolicyTable() {
  return PortTable({{kProtocolUdp, 123},
                    {kProtocolTcp, 135},
                    {kProtocolUdp, 135},
                    {kProtocolTcp, 1900},
                    {kProtocolUdp, 1900},
                    {kProtocolTcp, 4500},
                    {kProtocolUdp, 4500}});
}

std::vector<TrustedProgram> TrustedProgramsOf(const shell::CAppPaths& paths) {
  using shell::CAppPaths;
  std::vector<TrustedProgram> programs;
  auto add = [&](int slot, const store::tagPOLICY_TABLE* table) {
    TrustedProgram program;
    program.path = paths.Path(slot);
    if (table != nullptr) {
      program.hasTable = true;
      program.table = *table;
    }
    programs.push_back(std::move(program));
  };
  store::tagPOLICY_TABLE browser = BrowserPolicyTable();
  store::tagPOLICY_TABLE account = AccountServicePolicyTable();
  store::tagPOLICY_TABLE bus = MessageBusPolicyTable();
  add(CAppPaths::kDefaultBrowser, &browser);
  add(CAppPaths::kSamssImage, &account);
  add(CAppPaths::kRpcSsImage, &bus);
  add(CAppPaths::kPrintSpooler, nullptr);
  for (int slot = CAppPaths::kBrowserCompanion; slot <= CAppPaths::kSystemControlTool; ++slot) {
    add(slot, nullptr);
  }
  return programs;
}

int RegisterTrustedPrograms(store::CDBManager& store, const std::vector<TrustedProgram>& programs) {
  int added = 0;
  for (const TrustedProgram& program : programs) {
    if (program.path.empty() || program.path.size() > store::kProgramPathLimit ||
        access(program.path.c_str(), F_OK) != 0 || HasProgramRule(store, program.path)) {
      continue;
    }
    store::tagFIREWALL_PROGRAM rule{};
    rule.action = store::kActionAllow;
    std::memcpy(rule.path, program.path.data(), program.path.size());
    if (store.AddProgram(rule, program.hasTable ? &program.table : nullptr) != 0) {
      ++added;
    } else {
      platform::DebugOutput("[QXFW.exe] CFirewallDriver::Init: could not register %s",
                            program.path.c_str());
    }
  }
  return added;
}

}  // namespace qxfw::firewall
