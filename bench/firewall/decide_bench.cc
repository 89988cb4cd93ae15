// The access decision with 10,000 program rules and 1,000 IP/port rules, none of which matches:
// every request goes through both enumerations and the level stage (Medium, so the signature
// service is asked about the running program, on a warm cache). The baseline is the bare
// enumeration of the same store, the least any decision without an index must do.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>

#include "firewall/access_decision.h"
#include "firewall/security_level.h"
#include "monitor/trusted_path.h"
#include "platform/debug_output.h"
#include "platform/signature_service.h"
#include "ratio_reporter.h"
#include "store/db_manager.h"
#include "store/rule_slot_writer.h"
#include "test_support/temp_dir.h"

namespace qxfw::firewall {
namespace {

constexpr uint32_t kPrograms = 10000;
constexpr uint32_t kPortRules = 1000;

struct Fixture {
  Fixture() {
    store::WriteSlots(dir.path() + "/QLFW.dat", kPrograms, kPortRules);
    db = std::make_unique<store::CDBManager>(dir.path());
    program = RequestProgramOf(static_cast<uint32_t>(getpid()));
  }
  test_support::TempDir dir;
  std::unique_ptr<store::CDBManager> db;
  RequestProgram program;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_EnumerateRules(benchmark::State& state) {
  store::CDBManager& db = *Shared().db;
  for (auto _ : state) {
    store::tagFIREWALL_PROGRAM p;
    store::tagFIREWALL_PORTIP r;
    uint32_t count = 0;
    db.Select(store::CDBManager::kSelectRuleFile);
    while (db.Select(store::CDBManager::kSelectProgram) && db.GetProgram(&p)) ++count;
    db.Select(store::CDBManager::kSelectRuleFile);
    while (db.Select(store::CDBManager::kSelectPortIp) && db.GetPortIp(&r)) ++count;
    if (count != kPrograms + kPortRules) state.SkipWithError("store not filled");
    benchmark::DoNotOptimize(count);
  }
}
BENCHMARK(BM_EnumerateRules)->Unit(benchmark::kMicrosecond);

void BM_DecideUndecided(benchmark::State& state) {
  Fixture& f = Shared();
  int level = kLevelMedium;
  CAccessDecision decision(
      *f.db, [](const RequestProgram& p) { return monitor::IsSigned(p.executable); }, level);
  RequestFacts request{static_cast<uint32_t>(getpid()), 1, 0xC0000201, 443};
  platform::SetDebugSink([](const std::string&) {});  // the level's debug line, not syslog
  for (auto _ : state) {
    DecisionResult result = decision.Decide(request, f.program);
    if (result.decision != kDecisionUndecided || !result.signatureChecked) {
      state.SkipWithError("the request was decided by a rule");
    }
    benchmark::DoNotOptimize(result);
  }
  platform::SetDebugSink(nullptr);
}
BENCHMARK(BM_DecideUndecided)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qxfw::firewall

int main(int argc, char** argv) {
  qxfw::bench::RatioReporter reporter(
      {{"decide/enumeration", "BM_EnumerateRules", "BM_DecideUndecided"}},
      "(below 1: Decide costs more than the bare enumeration)");
  return qxfw::bench::RunBenchmarks(argc, argv, reporter, [] {
    qxfw::platform::LoadSignatureService();
    return true;
  });
}
