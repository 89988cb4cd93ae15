// One connection-table refresh with 10,000 open sockets against `ss -tanp` doing the same.
//
// Before the benchmarks run, the driver opens 5,000 loopback TCP connections (both ends, 10,000
// sockets) in this process. Every case lists the machine's TCP sockets with their owners:
// CPortList (refresh and walk, reading every field), CMngPortList (refresh with the merge into
// its records, then a walk), a fresh CPortList (the first refresh also picks the road), and
// ss as a child whose output is read to the end. Times are wall-clock; the ratio lines at the
// end say how many times faster than ss each of ours is.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "monitor/mng_port_list.h"
#include "monitor/port_list.h"
#include "platform/file.h"
#include "ratio_reporter.h"

extern char** environ;

namespace {

using qxfw::monitor::CMngPortList;
using qxfw::monitor::CPortList;
using qxfw::monitor::PortInfo;
using qxfw::platform::UniqueFd;

constexpr int kConnections = 5000;

std::vector<UniqueFd>& Sockets() {
  static std::vector<UniqueFd> sockets;
  return sockets;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Opens kConnections loopback connection pairs; false with a message when that fails.
bool OpenConnections() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  rlim_t wanted = 2 * kConnections + 256;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < wanted) {
    std::fprintf(stderr, "descriptor limit %llu is below %llu\n",
                 static_cast<unsigned long long>(limit.rlim_cur),
                 static_cast<unsigned long long>(wanted));
    return false;
  }
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in any = Loopback(0);
  if (bind(listener.Get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0 ||
      listen(listener.Get(), 1024) != 0) {
    std::perror("listener");
    return false;
  }
  socklen_t size = sizeof(any);
  getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&any), &size);
  for (int i = 0; i < kConnections; ++i) {
    UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(client.Get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) {
      std::perror("connect");
      return false;
    }
    UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!server.Valid()) {
      std::perror("accept");
      return false;
    }
    Sockets().push_back(std::move(client));
    Sockets().push_back(std::move(server));
  }
  Sockets().push_back(std::move(listener));
  return true;
}

// Walks the list reading every field, as the network view does.
size_t WalkAll(CPortList& list) {
  size_t rows = 0;
  while (list.MoveNext()) {
    benchmark::DoNotOptimize(list.ProcessId());
    std::string local = list.LocalAddress();
    std::string remote = list.RemoteAddress();
    benchmark::DoNotOptimize(local.data());
    benchmark::DoNotOptimize(remote.data());
    benchmark::DoNotOptimize(list.LocalPort() + list.RemotePort());
    benchmark::DoNotOptimize(list.StateName());
    ++rows;
  }
  return rows;
}

void BM_PortListRefresh(benchmark::State& state) {
  CPortList list(true);
  list.Refresh();
  size_t rows = 0;
  for (auto _ : state) {
    list.Refresh();
    rows = WalkAll(list);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_PortListRefresh)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PortListFirstRefresh(benchmark::State& state) {
  size_t rows = 0;
  for (auto _ : state) {
    CPortList list(true);
    list.Refresh();
    rows = WalkAll(list);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_PortListFirstRefresh)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MngPortListRefresh(benchmark::State& state) {
  CMngPortList list(true);
  list.Refresh();
  size_t records = 0;
  for (auto _ : state) {
    list.Refresh();
    records = 0;
    PortInfo record;
    while (list.MoveNext()) {
      list.GetCurrent(&record);
      benchmark::DoNotOptimize(record.status);
      ++records;
    }
  }
  state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_MngPortListRefresh)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SsTanp(benchmark::State& state) {
  size_t lines = 0;
  for (auto _ : state) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    UniqueFd readEnd(pipeFds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    char arg0[] = "ss";
    char arg1[] = "-tanp";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t child = -1;
    int spawned = posix_spawnp(&child, "ss", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
      state.SkipWithError("ss could not be started");
      break;
    }
    std::string out;
    char buffer[65536];
    ssize_t n;
    while ((n = read(readEnd.Get(), buffer, sizeof(buffer))) > 0) {
      out.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(child, &status, 0);
    lines = 0;
    for (char c : out) lines += c == '\n';
  }
  state.counters["rows"] = static_cast<double>(lines > 0 ? lines - 1 : 0);
}
BENCHMARK(BM_SsTanp)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<qxfw::bench::RatioPair> pairs;
  for (const char* ours : {"BM_PortListRefresh/real_time", "BM_PortListFirstRefresh/real_time",
                           "BM_MngPortListRefresh/real_time"}) {
    pairs.push_back({std::string("ss/") + ours, "BM_SsTanp/real_time", ours});
  }
  qxfw::bench::RatioReporter reporter(std::move(pairs), "(above 1: ours is faster)");
  return qxfw::bench::RunBenchmarks(argc, argv, reporter, [] {
    if (!OpenConnections()) return false;
    std::printf("%zu sockets open in this process\n", Sockets().size());
    return true;
  });
}
