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
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

void WriteSlots(const std::string& path, uint32_t programs, uint32_t portRules) {
  CRijndael cipher;
  const char chain[16] = {};
  cipher.MakeKey(kRuleFileKey, chain, 16, 16);
  std::string plain;
  tagFILE_HEADER header{};
  header.slot.kind = kKindHeader;
  header.slot.state = kStateLive;
  header.version = kFormatVersion;
  header.slotSize = kSlotSize;
  header.recordCounter = programs + portRules;
  std::memcpy(header.text, kHeaderText, sizeof(header.text));
  header.securityLevel = 3;
  plain.append(reinterpret_cast<const char*>(&header), sizeof(header));
  for (uint32_t n = 1; n <= programs + portRules; ++n) {
    tagSLOT slot{};
    slot.header = {n, n <= programs ? kKindProgram : kKindPortIp, kStateLive, kOpRuleFile, {}};
    if (n <= programs) {
      tagFIREWALL_PROGRAM p{};
      p.action = static_cast<int16_t>(n % 2);
      std::snprintf(p.path, sizeof(p.path), "/usr/lib/vendor/application-%06u/bin/program", n);
      std::memcpy(slot.payload, &p, sizeof(p));
    } else {
      tagFIREWALL_PORTIP r{};
      r.action = 1;
      r.beginPort = r.endPort = static_cast<uint16_t>(n);
      r.protocol = kProtocolTcp;
      std::memcpy(slot.payload, &r, sizeof(r));
    }
    plain.append(reinterpret_cast<const char*>(&slot), sizeof(slot));
  }
  std::string cipherText(plain.size(), '\0');
  cipher.Encrypt(plain.data(), cipherText.data(), plain.size(), CRijndael::ECB);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(cipherText.data(), 1, cipherText.size(), f);
  std::fclose(f);
}

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
