// CAccessDecision: decides one network request from the rules and the security level.
//
// Three stages. The program stage looks for the first program rule whose path equals the
// requesting program's full path, or else its file name (ignoring case); a rule with action 2
// hands over to its policy table. The address/port stage evaluates every IP/port rule. What
// neither decides goes to the security level, with the signature test of the program.
//
// The caller resolves the program first (RequestProgram): a program whose executable could
// not be confirmed by the kernel has no full path here, so it matches rules only by name and
// is never counted as signed.
//
// Runs on the user-interface thread; the rule store is enumerated in place (no copy, no
// cache), so no change or other enumeration of the store may run during Decide. The
// enumerations give up the processor between batches of records so that a large store does
// not starve other threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "monitor/trusted_path.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::firewall {

enum Decision : int { kDecisionBlock = 0, kDecisionAllow = 1, kDecisionUndecided = 2 };

// The fields of a request the decision reads; address and port in host order.
struct RequestFacts {
  uint32_t processId = 0;
  uint8_t protocol = 0;  // 1 TCP, 2 UDP
  uint32_t remoteAddress = 0;
  uint16_t remotePort = 0;
};

// The requesting program as far as the kernel vouches for it.
struct RequestProgram {
  std::string path;  // full path of the executable; empty when unknown or not confirmed
  std::string name;  // file name of the process; empty when unknown
  monitor::RunningProgram executable;  // what /proc/<pid>/exe showed, for the signature test
};

// The program of a running process: the trusted path of its executable, and as name the file
// name of that path, else the process's command name.
RequestProgram RequestProgramOf(uint32_t processId);

// What gave the final answer.
enum class DecidedBy {
  kProgramRule,  // a program rule with action allow or block
  kPolicyEntry,  // an entry of the program's policy table
  kPortIpRule,   // an IP/port rule
  kSignature,    // the level let a signed program through
  kLevel,        // the level alone (Off, Low's port limit, or no answer at Low to High)
  kTrustedPath,  // Low level's trusted-path list (set by the driver channel)
  kOwnProgram,   // the firewall program's own request (set by the driver channel)
};

struct DecisionResult {
  Decision decision = kDecisionUndecided;
  DecidedBy decidedBy = DecidedBy::kLevel;
  bool programRuleMatched = false;
  store::tagFIREWALL_PROGRAM programRule{};  // valid when programRuleMatched
  int policyEntry = -1;                      // index of the deciding policy entry, or -1
  bool portIpRuleMatched = false;
  store::tagFIREWALL_PORTIP portIpRule{};  // the IP/port rule that decided, when matched
  int level = 0;                           // the level used by the level stage
  bool signatureChecked = false;
  bool isSigned = false;
};

class CAccessDecision {
 public:
  // Asked only for a program with a confirmed path.
  using SignatureTest = std::function<bool(const RequestProgram& program)>;
  // Records visited between two yields of the processor.
  static constexpr uint32_t kRecordsPerYield = 512;

  // store and level must outlive the decision; level is read on every request.
  CAccessDecision(store::CDBManager& store, SignatureTest isSigned, const int& level);

  DecisionResult Decide(const RequestFacts& request, const RequestProgram& program);

  // The stages, usable alone. ProgramStage gives allow, block or undecided; PortIpStage allow,
  // block or kNoMatch.
  static constexpr int kNoMatch = 3;
  int ProgramStage(const RequestFacts& request, const RequestProgram& program,
                   DecisionResult* result);
  int PortIpStage(const RequestFacts& request, DecisionResult* result);
  // Evaluates a policy table; entryIndex gets the deciding entry, or -1.
  static int EvaluatePolicy(const store::tagPOLICY_TABLE& table, const RequestFacts& request,
                            int* entryIndex);

 private:
  void CountRecord();

  store::CDBManager& store_;
  SignatureTest isSigned_;
  const int& level_;
  uint32_t sinceYield_ = 0;
};

// Text for DecidedBy, as the headless host prints it.
const char* DecidedByText(DecidedBy by);

}  // namespace qxfw::firewall
