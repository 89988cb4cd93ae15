#include "firewall/prompt_answer.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

#include "monitor/trusted_path.h"
#include "platform/debug_output.h"
#include "platform/text_compare.h"
#include "store/db_manager.h"

namespace qxfw::firewall {
namespace {

using store::CDBManager;

std::string_view RulePathOf(const store::tagFIREWALL_PROGRAM& rule) {
  return std::string_view(rule.path, strnlen(rule.path, sizeof(rule.path)));
}

// The first program rule whose path equals path, ignoring case.
bool FindProgramRule(CDBManager& store, std::string_view path, store::tagFIREWALL_PROGRAM* rule) {
  bool found = false;
  store.Select(CDBManager::kSelectRuleFile);
  while (!found && store.Select(CDBManager::kSelectProgram) && store.GetProgram(rule)) {
    found = platform::EqualNoCase(RulePathOf(*rule), path);
  }
  store.Select(CDBManager::kSelectRuleFile);
  return found;
}

AnswerOutcome::Stored StoreRule(CDBManager& store, store::tagFIREWALL_PROGRAM& rule,
                                const store::tagPOLICY& entry) {
  store::tagFIREWALL_PROGRAM existing{};
  store::tagPOLICY_TABLE table{};
  if (!FindProgramRule(store, RulePathOf(rule), &existing)) {
    store::AddPolicyEntry(table, entry);
    if (store.AddProgram(rule, &table) == 0) return AnswerOutcome::Stored::kStoreFailed;
    return AnswerOutcome::Stored::kAdded;
  }
  if (existing.action == store::kActionPolicy && existing.policySlot > 0 &&
      store.GetPolicy(&table, static_cast<uint32_t>(existing.policySlot)) == 0) {
    table = {};
  }
  // A full or conflicting table keeps its entries; the rule's action is updated all the same.
  if (!store::AddPolicyEntry(table, entry)) {
    platform::DebugOutput(
        "[QXFW.exe] AskDlg::SaveChanges the policy table of %s keeps its %u entries", rule.path,
        table.count);
  }
  if (store.ModifyProgram(existing, rule, &table) == 0) return AnswerOutcome::Stored::kStoreFailed;
  return AnswerOutcome::Stored::kModified;
}

bool Covers(const CNETWORK_REQUEST& asked, const CNETWORK_REQUEST& other,
            const PromptAnswer& answer) {
  if (answer.onlyThisIp && other.remoteAddress != asked.remoteAddress) return false;
  if (answer.onlyThisPort && other.remotePort != asked.remotePort) return false;
  return true;
}

bool SameRequest(const CNETWORK_REQUEST& a, const CNETWORK_REQUEST& b) {
  return a.requestHandle == b.requestHandle && a.processId == b.processId;
}

}  // namespace

PromptProcess PromptProcessOf(uint32_t processId) {
  PromptProcess process;
  process.program = RequestProgramOf(processId);
  if (processId != 0 && processId <= static_cast<uint32_t>(INT32_MAX)) {
    process.startTicks = monitor::ProcessStartTicks(static_cast<pid_t>(processId));
  }
  return process;
}

bool SameProcess(const PromptProcess& shown, const PromptProcess& now) {
  if (now.startTicks == 0) return true;
  if (shown.startTicks != 0 && shown.startTicks != now.startTicks) return false;
  const monitor::RunningProgram& before = shown.program.executable;
  const monitor::RunningProgram& after = now.program.executable;
  if (before.inode == 0) return after.inode == 0;
  return before.device == after.device && before.inode == after.inode;
}

store::tagPOLICY PolicyEntryOf(const CNETWORK_REQUEST& request, const PromptAnswer& answer) {
  store::tagPOLICY entry{};
  entry.action = static_cast<uint16_t>(answer.verdict);
  entry.protocol = request.protocol;
  if (answer.onlyThisIp) entry.beginIp = entry.endIp = ntohl(request.remoteAddress);
  if (answer.onlyThisPort) entry.beginPort = entry.endPort = ntohs(request.remotePort);
  return entry;
}

store::tagFIREWALL_PROGRAM ProgramRuleOf(const RequestProgram& program,
                                         const PromptAnswer& answer) {
  store::tagFIREWALL_PROGRAM rule{};
  rule.action = answer.onlyThisIp || answer.onlyThisPort ? int16_t{store::kActionPolicy}
                                                         : static_cast<int16_t>(answer.verdict);
  const std::string& path = program.path.empty() ? program.name : program.path;
  std::strncpy(rule.path, path.c_str(), sizeof(rule.path) - 1);
  return rule;
}

AnswerOutcome SaveAnswer(store::CDBManager& store, CPendingRequests& pending,
                         const CNETWORK_REQUEST& request, const PromptProcess& shown,
                         const PromptProcess& now, const PromptAnswer& answer,
                         const VerdictSender& sendVerdict) {
  AnswerOutcome outcome;
  outcome.processChanged = !SameProcess(shown, now);
  const bool known = !shown.program.path.empty() || !shown.program.name.empty();
  if (known && !outcome.processChanged) {
    outcome.rule = ProgramRuleOf(shown.program, answer);
    outcome.stored = StoreRule(store, outcome.rule, PolicyEntryOf(request, answer));
  } else if (outcome.processChanged) {
    platform::DebugOutput(
        "[QXFW.exe] AskDlg::SaveChanges process %u is another program now: no rule stored",
        request.processId);
  }

  // Each position is taken before its entry is removed, so the walk survives the removals.
  const uint32_t pid = request.processId;
  for (auto it = pending.FindProcess(pid); it != pending.End();) {
    auto next = pending.FindProcess(pid, it);
    const bool covered =
        outcome.processChanged ? SameRequest(*it, request) : Covers(request, *it, answer);
    if (covered) {
      sendVerdict(*it, answer.verdict);
      pending.Remove(it);
      ++outcome.settled;
    }
    it = next;
  }
  auto first = pending.FindProcess(pid);
  if (first != pending.End()) outcome.next = *first;
  return outcome;
}

}  // namespace qxfw::firewall
