// The user's answer to the network access prompt: the program rule or policy entry it becomes,
// and the pending requests of the process it settles.
//
// The prompt shows one process; its answer covers every pending request of that process unless
// it was limited to the request's remote address and/or port. The answer is stored as a program
// rule under the program's full path (or its file name when the path is unknown); the next
// request of the program is then decided without asking.
//
// Two answers store nothing and settle only the request the prompt showed:
// - the program is unknown (no path and no name): a rule under a placeholder name would match
//   every later program whose path cannot be read;
// - the process is no longer the one shown (its pid was reused, or it runs another program
//   now): its pending requests may belong to a program the user never saw.
//
// Runs on the user-interface thread, like the poll; no Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "firewall/access_decision.h"
#include "firewall/device_protocol.h"
#include "firewall/request_poller.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::firewall {

// The process a prompt asks about, as it was when the prompt looked.
struct PromptProcess {
  RequestProgram program;
  uint64_t startTicks = 0;  // monitor::ProcessStartTicks; 0 when the process was gone
};

// Looks the process up now.
PromptProcess PromptProcessOf(uint32_t processId);

// Whether `now` is still the process `shown`: the same start time and the same executable. A
// process that has ended counts as the same (no other process holds its pid).
bool SameProcess(const PromptProcess& shown, const PromptProcess& now);

struct PromptAnswer {
  uint32_t verdict = kVerdictBlock;  // kVerdictAllow or kVerdictBlock
  bool onlyThisIp = false;
  bool onlyThisPort = false;
};

// The policy entry and the program rule an answer makes (rule path: the full path, else the
// file name).
store::tagPOLICY PolicyEntryOf(const CNETWORK_REQUEST& request, const PromptAnswer& answer);
store::tagFIREWALL_PROGRAM ProgramRuleOf(const RequestProgram& program, const PromptAnswer& answer);

struct AnswerOutcome {
  enum class Stored {
    kNothing,      // the program is unknown, or the process changed
    kAdded,        // a new program rule
    kModified,     // the program's rule was replaced
    kStoreFailed,  // the store refused; the verdicts were sent all the same
  };
  Stored stored = Stored::kNothing;
  bool processChanged = false;
  store::tagFIREWALL_PROGRAM rule{};  // the rule made (valid unless kNothing)
  int settled = 0;                    // pending requests answered
  // The first pending request of the process still unanswered: the next prompt's.
  std::optional<CNETWORK_REQUEST> next;
};

using VerdictSender = std::function<void(const CNETWORK_REQUEST& request, uint32_t verdict)>;

// Stores the answer and settles the covered pending requests of request.processId. shown: the
// process as the prompt showed it; now: as it is at the answer.
AnswerOutcome SaveAnswer(store::CDBManager& store, CPendingRequests& pending,
                         const CNETWORK_REQUEST& request, const PromptProcess& shown,
                         const PromptProcess& now, const PromptAnswer& answer,
                         const VerdictSender& sendVerdict);

}  // namespace qxfw::firewall
