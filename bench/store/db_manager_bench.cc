// Rule store operations with 1,000 and 10,000 program rules in the file: add, modify, delete,
// and the enumeration the decision and the views run. Files are made directly from slots so
// the set-up takes seconds, then every measured call goes through CDBManager.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "store/db_manager.h"
#include "store/rijndael.h"
#include "store/rule_file_format.h"
#include "store/rule_slot_writer.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

struct Store {
  explicit Store(uint32_t programs) {
    WriteSlots(dir.path() + "/QLFW.dat", programs, 100);
    db = std::make_unique<CDBManager>(dir.path());
  }
  test_support::TempDir dir;
  std::unique_ptr<CDBManager> db;
};

tagFIREWALL_PROGRAM Program(const char* path, int16_t action) {
  tagFIREWALL_PROGRAM p{};
  p.action = action;
  std::strncpy(p.path, path, sizeof(p.path) - 1);
  return p;
}

void BM_AddProgram(benchmark::State& state) {
  Store store(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    tagFIREWALL_PROGRAM p = Program("/opt/new/program", 1);
    if (store.db->AddProgram(p, nullptr) == 0) state.SkipWithError("add failed");
    state.PauseTiming();
    store.db->DeleteProgram(p);
    state.ResumeTiming();
  }
}

void BM_DeleteProgram(benchmark::State& state) {
  Store store(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    tagFIREWALL_PROGRAM p = Program("/opt/new/program", 1);
    store.db->AddProgram(p, nullptr);
    state.ResumeTiming();
    if (store.db->DeleteProgram(p) == 0) state.SkipWithError("delete failed");
  }
}

void BM_ModifyProgram(benchmark::State& state) {
  Store store(static_cast<uint32_t>(state.range(0)));
  tagFIREWALL_PROGRAM a = Program("/usr/lib/vendor/application-000007/bin/program", 1);
  tagFIREWALL_PROGRAM b = Program("/opt/renamed/program", 0);
  bool flip = false;
  for (auto _ : state) {
    tagFIREWALL_PROGRAM from = flip ? b : a;
    tagFIREWALL_PROGRAM to = flip ? a : b;
    if (store.db->ModifyProgram(from, to, nullptr) == 0) state.SkipWithError("modify failed");
    flip = !flip;
  }
}

// What the decision and the rule views do: walk every program rule, then every IP/port rule.
void BM_EnumerateAll(benchmark::State& state) {
  Store store(static_cast<uint32_t>(state.range(0)));
  tagFIREWALL_PROGRAM p;
  tagFIREWALL_PORTIP r;
  for (auto _ : state) {
    size_t seen = 0;
    store.db->Select(CDBManager::kSelectRuleFile);
    while (store.db->Select(CDBManager::kSelectProgram) && store.db->GetProgram(&p)) ++seen;
    store.db->Select(CDBManager::kSelectRuleFile);
    while (store.db->Select(CDBManager::kSelectPortIp) && store.db->GetPortIp(&r)) ++seen;
    benchmark::DoNotOptimize(seen);
  }
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Repetitions(5);
}

BENCHMARK(BM_AddProgram)->Apply(Sizes)->Iterations(40);
BENCHMARK(BM_DeleteProgram)->Apply(Sizes)->Iterations(40);
BENCHMARK(BM_ModifyProgram)->Apply(Sizes)->Iterations(40);
BENCHMARK(BM_EnumerateAll)->Apply(Sizes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qxfw::store

BENCHMARK_MAIN();
