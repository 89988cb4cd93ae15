#include "firewall/access_decision.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include <cstring>
#include <string_view>

#include "firewall/security_level.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/path_text.h"
#include "platform/text_compare.h"
#include "store/db_manager.h"

namespace qxfw::firewall {
namespace {

using store::CDBManager;

constexpr char kNotAvailable[] = "n/a";

std::string_view RulePath(const store::tagFIREWALL_PROGRAM& rule) {
  return std::string_view(rule.path, strnlen(rule.path, sizeof(rule.path)));
}

// Applies an entry's action: 0 blocks (and ends the evaluation), 1 allows, anything else
// leaves the result undecided.
bool ApplyPolicyAction(uint16_t action, int index, int* result, int* entryIndex) {
  *entryIndex = index;
  if (action == 0) {
    *result = kDecisionBlock;
    return true;
  }
  *result = action == 1 ? kDecisionAllow : kDecisionUndecided;
  return false;
}

}  // namespace

RequestProgram RequestProgramOf(uint32_t processId) {
  RequestProgram program;
  if (processId == 0 || processId > static_cast<uint32_t>(INT32_MAX)) return program;
  // /proc stays open: every request asks it, and opening it costs as much as the question.
  static const platform::UniqueFd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  program.executable = proc.Valid()
                           ? monitor::TrustedProgramOf(proc.Get(), static_cast<pid_t>(processId))
                           : monitor::TrustedProgramOf(static_cast<pid_t>(processId));
  program.path = monitor::TrustedPathOf(program.executable);
  if (!program.path.empty()) {
    program.name = std::string(platform::FileNameOf(program.path));
    return program;
  }
  char file[32];
  std::snprintf(file, sizeof(file), "/proc/%u/comm", processId);
  platform::UniqueFd fd(open(file, O_RDONLY | O_CLOEXEC));
  char comm[64];
  ssize_t got = fd.Valid() ? read(fd.Get(), comm, sizeof(comm) - 1) : -1;
  if (got > 0) {
    if (comm[got - 1] == '\n') --got;
    program.name.assign(comm, static_cast<size_t>(got));
  }
  return program;
}

CAccessDecision::CAccessDecision(CDBManager& store, SignatureTest isSigned, const int& level)
    : store_(store), isSigned_(std::move(isSigned)), level_(level) {}

void CAccessDecision::CountRecord() {
  if (++sinceYield_ >= kRecordsPerYield) {
    sinceYield_ = 0;
    sched_yield();
  }
}

int CAccessDecision::EvaluatePolicy(const store::tagPOLICY_TABLE& table,
                                    const RequestFacts& request, int* entryIndex) {
  int result = kDecisionUndecided;
  *entryIndex = -1;
  uint32_t count = table.count < store::kMaxPolicyEntries ? table.count : store::kMaxPolicyEntries;
  for (uint32_t i = 0; i < count; ++i) {
    const store::tagPOLICY& entry = table.entries[i];
    bool hasAddress = entry.beginIp != 0 || entry.endIp != 0;
    bool hasPort = entry.beginPort != 0 || entry.endPort != 0;
    bool addressMatched = hasAddress && entry.beginIp <= request.remoteAddress &&
                          request.remoteAddress <= entry.endIp;
    if (addressMatched && !hasPort) {
      if (ApplyPolicyAction(entry.action, static_cast<int>(i), &result, entryIndex)) break;
    }
    if (hasPort && entry.protocol == request.protocol && entry.beginPort <= request.remotePort &&
        request.remotePort <= entry.endPort && (!hasAddress || addressMatched)) {
      if (ApplyPolicyAction(entry.action, static_cast<int>(i), &result, entryIndex)) break;
    }
  }
  return result;
}

int CAccessDecision::ProgramStage(const RequestFacts& request, const RequestProgram& program,
                                  DecisionResult* result) {
  std::string_view path = program.path.empty() ? std::string_view(kNotAvailable) : program.path;
  std::string_view name = program.name.empty() ? std::string_view(kNotAvailable) : program.name;
  store::tagFIREWALL_PROGRAM rule;
  bool found = false;
  store_.Select(CDBManager::kSelectRuleFile);
  while (store_.Select(CDBManager::kSelectProgram) && store_.GetProgram(&rule)) {
    std::string_view rulePath = RulePath(rule);
    if (platform::EqualNoCase(rulePath, path) || platform::EqualNoCase(rulePath, name)) {
      found = true;
      break;
    }
    CountRecord();
  }
  store_.Select(CDBManager::kSelectRuleFile);
  if (!found) return kDecisionUndecided;
  result->programRuleMatched = true;
  result->programRule = rule;
  if (rule.action == store::kActionAllow) return kDecisionAllow;
  if (rule.action == store::kActionBlock) return kDecisionBlock;
  store::tagPOLICY_TABLE table;
  if (rule.policySlot <= 0 ||
      store_.GetPolicy(&table, static_cast<uint32_t>(rule.policySlot)) == 0) {
    return kDecisionUndecided;
  }
  return EvaluatePolicy(table, request, &result->policyEntry);
}

int CAccessDecision::PortIpStage(const RequestFacts& request, DecisionResult* result) {
  int verdict = kNoMatch;
  store::tagFIREWALL_PORTIP rule;
  store_.Select(CDBManager::kSelectRuleFile);
  while (store_.Select(CDBManager::kSelectPortIp) && store_.GetPortIp(&rule)) {
    CountRecord();
    bool addressMatched =
        rule.beginIp != 0
            ? rule.beginIp <= request.remoteAddress && request.remoteAddress <= rule.endIp
            : rule.endIp != 0 && request.remoteAddress <= rule.endIp;
    bool portMatched = (rule.beginPort != 0 || rule.endPort != 0) &&
                       rule.protocol == request.protocol && rule.beginPort <= request.remotePort &&
                       request.remotePort <= rule.endPort;
    // The address part and the port part each decide on their own.
    for (bool matched : {addressMatched, portMatched}) {
      if (!matched) continue;
      if (rule.action == store::kActionBlock) {
        result->portIpRuleMatched = true;
        result->portIpRule = rule;
        store_.Select(CDBManager::kSelectRuleFile);
        return kDecisionBlock;
      }
      if (rule.action == store::kActionAllow) {
        verdict = kDecisionAllow;
        result->portIpRuleMatched = true;
        result->portIpRule = rule;
      }
    }
  }
  store_.Select(CDBManager::kSelectRuleFile);
  return verdict;
}

DecisionResult CAccessDecision::Decide(const RequestFacts& request, const RequestProgram& program) {
  DecisionResult result;
  int programVerdict = ProgramStage(request, program, &result);
  int portVerdict = PortIpStage(request, &result);
  DecidedBy programBy = result.policyEntry >= 0 ? DecidedBy::kPolicyEntry : DecidedBy::kProgramRule;

  if (portVerdict == kDecisionBlock) {
    result.decision = kDecisionBlock;
    result.decidedBy = DecidedBy::kPortIpRule;
    return result;
  }
  if (programVerdict == kDecisionBlock || programVerdict == kDecisionAllow) {
    result.decision = static_cast<Decision>(programVerdict);
    result.decidedBy = programBy;
    return result;
  }
  if (portVerdict == kDecisionAllow) {
    result.decision = kDecisionAllow;
    result.decidedBy = DecidedBy::kPortIpRule;
    return result;
  }

  int level = ValidSecurityLevel(level_);
  result.level = level;
  result.decidedBy = DecidedBy::kLevel;
  if (level == kLevelOff) {
    result.decision = kDecisionAllow;
    return result;
  }
  // Only Low and Medium let a signed program through; High never asks the service.
  if ((level == kLevelLow || level == kLevelMedium) && !program.path.empty() && isSigned_) {
    result.signatureChecked = true;
    result.isSigned = isSigned_(program);
  }
  if (result.isSigned) {
    result.decision = kDecisionAllow;
    result.decidedBy = DecidedBy::kSignature;
    return result;
  }
  platform::DebugOutput("g_SecurityLevel=%x port=%d", static_cast<unsigned>(level),
                        request.remotePort);
  result.decision =
      level == kLevelLow && request.remotePort <= 1024 ? kDecisionAllow : kDecisionUndecided;
  return result;
}

const char* DecidedByText(DecidedBy by) {
  switch (by) {
    case DecidedBy::kProgramRule:
      return "program rule";
    case DecidedBy::kPolicyEntry:
      return "policy entry";
    case DecidedBy::kPortIpRule:
      return "ip/port rule";
    case DecidedBy::kSignature:
      return "signature";
    case DecidedBy::kLevel:
      return "level";
    case DecidedBy::kTrustedPath:
      return "trusted path";
    case DecidedBy::kOwnProgram:
      return "own program";
  }
  return "?";
}

}  // namespace qxfw::firewall
