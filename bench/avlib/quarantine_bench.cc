// Quarantine of a large infected file against the least any safe move must do: a plain copy
// of the same bytes, synced with its folder entry, then the source unlinked. Shows what the
// scrambling, the checks and the folder sync cost on top.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "avlib/quarantine.h"
#include "platform/file.h"
#include "ratio_reporter.h"

namespace {

constexpr int64_t kBytes = 32 << 20;

std::string Folder() {
  static std::string folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxav-bench-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return folder;
}

void MakeSource(const std::string& path) {
  std::vector<char> data(kBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + (i >> 9));
  qxfw::platform::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  qxfw::platform::WriteAll(fd.Get(), data.data(), data.size());
}

void BM_SyncedCopy(benchmark::State& state) {
  const std::string source = Folder() + "/copy-source";
  const std::string target = Folder() + "/copy-target";
  std::vector<char> buffer(64 * 1024);
  for (auto _ : state) {
    state.PauseTiming();
    MakeSource(source);
    state.ResumeTiming();
    qxfw::platform::UniqueFd in(open(source.c_str(), O_RDONLY));
    qxfw::platform::UniqueFd out(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ssize_t got;
    while ((got = read(in.Get(), buffer.data(), buffer.size())) > 0)
      qxfw::platform::WriteAll(out.Get(), buffer.data(), static_cast<size_t>(got));
    fsync(out.Get());
    qxfw::platform::UniqueFd folder(open(Folder().c_str(), O_RDONLY | O_DIRECTORY));
    fsync(folder.Get());
    unlink(source.c_str());
    state.PauseTiming();
    unlink(target.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_Quarantine(benchmark::State& state) {
  qxfw::avlib::Quarantine quarantine;
  quarantine.DefineBase(Folder());
  const std::string source = Folder() + "/infected";
  for (auto _ : state) {
    state.PauseTiming();
    MakeSource(source);
    state.ResumeTiming();
    std::string made;
    if (!quarantine.ToQuarantine(source, "Bench.Virus", &made)) state.SkipWithError("failed");
    state.PauseTiming();
    unlink(made.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(BM_SyncedCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Quarantine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  qxfw::bench::RatioReporter reporter(
      {{"Quarantine32MiB", "BM_SyncedCopy/real_time", "BM_Quarantine/real_time"}},
      "(above 1: quarantine is faster than a synced plain copy)");
  int result = qxfw::bench::RunBenchmarks(argc, argv, reporter);
  std::error_code ignored;
  std::filesystem::remove_all(Folder(), ignored);
  return result;
}
