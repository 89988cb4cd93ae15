// Process snapshot and the whole `qxfwctl processes` command (signature column included)
// against `ps -eo pid,comm,args`, and the signature service's answer time.
//
// Both process listings produce, for every process, its id, name and what it runs (our path,
// ps's command line). ps runs as a child whose output is read to the end, so the times are
// wall-clock times. The ratio line at the end says how many times faster the snapshot is.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/process_list.h"
#include "platform/package_db.h"
#include "platform/signature_service.h"
#include "ratio_reporter.h"

extern char** environ;

namespace {

using qxfw::monitor::CProcessList;
using qxfw::platform::PackageDb;
using qxfw::platform::SignatureService;

constexpr char kSignedProgram[] = "/usr/bin/ls";

void BM_SnapshotWithPaths(benchmark::State& state) {
  size_t processes = 0;
  for (auto _ : state) {
    CProcessList list;
    processes = 0;
    while (list.MoveNext()) {
      uint32_t id = list.GetProcessId();
      benchmark::DoNotOptimize(list.GetProcessName().data());
      std::string path = list.PathOf(id);
      benchmark::DoNotOptimize(path.data());
      ++processes;
    }
  }
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(BM_SnapshotWithPaths)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Runs argv as a child, reads its output to the end and returns its line count; -1 when it
// could not be started.
long RunCommand(char* const argv[], char** env) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, env);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return -1;
  }
  std::string out;
  char buffer[16384];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  long lines = 0;
  for (char c : out) lines += c == '\n';
  return lines;
}

void BM_PsCommand(benchmark::State& state) {
  long lines = 0;
  char arg0[] = "ps";
  char arg1[] = "-eo";
  char arg2[] = "pid,comm,args";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  for (auto _ : state) {
    lines = RunCommand(argv, environ);
    if (lines < 0) {
      state.SkipWithError("ps could not be started");
      break;
    }
  }
  state.counters["processes"] = static_cast<double>(lines > 0 ? lines - 1 : 0);
}
BENCHMARK(BM_PsCommand)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The whole `qxfwctl processes` command, signature column included, on a warm start: its
// cache folder (a folder of this run) already holds what the first run kept.
void BM_QxfwctlProcesses(benchmark::State& state) {
  char cacheTemplate[] = "/tmp/qxfw-bench-cache-XXXXXX";
  if (::mkdtemp(cacheTemplate) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::string cacheVar = std::string("XDG_CACHE_HOME=") + cacheTemplate;
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "XDG_CACHE_HOME=", 15) != 0) env.push_back(*e);
  }
  env.push_back(cacheVar.data());
  env.push_back(nullptr);
  char arg0[] = QXFWCTL_PATH;
  char arg1[] = "processes";
  char* argv[] = {arg0, arg1, nullptr};
  long lines = RunCommand(argv, env.data());  // the cold run that fills the cache
  for (auto _ : state) {
    lines = RunCommand(argv, env.data());
    if (lines < 0) {
      state.SkipWithError("qxfwctl could not be started");
      break;
    }
  }
  state.counters["processes"] = static_cast<double>(lines > 0 ? lines - 1 : 0);
  std::string cleanup = std::string("rm -rf '") + cacheTemplate + "'";
  if (std::system(cleanup.c_str()) != 0) state.SkipWithError("cache folder left behind");
}
BENCHMARK(BM_QxfwctlProcesses)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_IsSignedWarm(benchmark::State& state) {
  if (!qxfw::platform::LoadSignatureService() || !qxfw::platform::IsSigned(kSignedProgram)) {
    state.SkipWithError("no dpkg database or /usr/bin/ls is not packaged");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(qxfw::platform::IsSigned(kSignedProgram));
}
BENCHMARK(BM_IsSignedWarm)->Unit(benchmark::kNanosecond);

// A fresh service each time: the package index is already built, the file is hashed anew.
void BM_IsSignedCold(benchmark::State& state) {
  PackageDb& db = PackageDb::Shared();
  if (!db.Available()) {
    state.SkipWithError("no dpkg database");
    return;
  }
  for (auto _ : state) {
    SignatureService service(&db);
    benchmark::DoNotOptimize(service.IsSigned(kSignedProgram));
  }
}
BENCHMARK(BM_IsSignedCold)->Unit(benchmark::kMicrosecond);

// What the first question after start costs: reading every file list of the database.
void BM_PackageIndexBuild(benchmark::State& state) {
  for (auto _ : state) {
    PackageDb db(PackageDb::DefaultAdminDir());
    benchmark::DoNotOptimize(db.OwnerOf(kSignedProgram));
  }
}
BENCHMARK(BM_PackageIndexBuild)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  qxfw::bench::RatioReporter reporter(
      {{"ps/snapshot", "BM_PsCommand/real_time", "BM_SnapshotWithPaths/real_time"},
       {"ps/qxfwctl-processes", "BM_PsCommand/real_time", "BM_QxfwctlProcesses/real_time"}},
      "(above 1: the snapshot is faster)");
  return qxfw::bench::RunBenchmarks(argc, argv, reporter);
}
