// The console reporter of the benchmark drivers: the usual table, then one line per pair the
// driver names saying how many times faster our case is than its baseline:
// "ratio <label> x.xx <note>", above 1 meaning ours is faster.
//
// Used by the drivers under bench/. Every run's best time per iteration is kept under its
// benchmark name (repetitions compete, aggregates and failed runs are ignored), in seconds, so
// pairs with different display units still compare. Google Benchmark calls the reporter from
// its one driver thread.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qxfw::bench {

struct RatioPair {
  std::string label;     // printed after "ratio "
  std::string baseline;  // full benchmark names, e.g. "BM_PsCommand/real_time"
  std::string ours;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  enum class Clock { kReal, kCpu };

  RatioReporter(std::vector<RatioPair> pairs, std::string note, Clock clock = Clock::kReal)
      : pairs_(std::move(pairs)), note_(std::move(note)), clock_(clock) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations <= 0) {
        continue;
      }
      double total = clock_ == Clock::kReal ? run.real_accumulated_time : run.cpu_accumulated_time;
      double t = total / static_cast<double>(run.iterations);
      auto [it, inserted] = best_.emplace(run.benchmark_name(), t);
      if (!inserted && t < it->second) it->second = t;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    size_t width = 0;
    for (const auto& pair : pairs_) width = std::max(width, pair.label.size());
    for (const auto& pair : pairs_) {
      auto baseline = best_.find(pair.baseline);
      auto ours = best_.find(pair.ours);
      if (baseline == best_.end() || ours == best_.end() || ours->second <= 0) continue;
      std::printf("ratio %-*s %.2f%s%s\n", static_cast<int>(width), pair.label.c_str(),
                  baseline->second / ours->second, note_.empty() ? "" : " ", note_.c_str());
    }
    std::fflush(stdout);
  }

 private:
  std::vector<RatioPair> pairs_;
  std::string note_;
  Clock clock_;
  std::map<std::string, double> best_;
};

// The body of every driver's main: reads the benchmark flags, lets prepare (when given) set
// up what the cases need, and runs the selected cases with reporter. Returns main's result.
inline int RunBenchmarks(int argc, char** argv, RatioReporter& reporter,
                         const std::function<bool()>& prepare = nullptr) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (prepare && !prepare()) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace qxfw::bench
