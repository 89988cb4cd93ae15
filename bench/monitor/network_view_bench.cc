// One refresh of the network page's list with 10,000 open connections, through the real view
// (data gathered on its worker, rows applied on this thread), against `ss -tanp` on the same
// sockets.
//
// Before the benchmarks run, the driver opens 5,000 loopback TCP connections (both ends, 10,000
// sockets, each a row of the list) in this process. Cases: a steady refresh (nothing changed),
// a refresh that sees 100 connections close and 100 open, and the first fill of a new list. The
// counter ui_block_ms is the longest time the user-interface thread was busy in one go (a 2 ms
// timer's longest gap) during the case; apply_ms the longest delta application.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "controls/qx_list_ctrl.h"
#include "monitor/ui/network_view.h"
#include "platform/file.h"
#include "ratio_reporter.h"

extern char** environ;

namespace {

using qxfw::monitor::CNetworkList;
using qxfw::platform::UniqueFd;

constexpr int kConnections = 5000;
sockaddr_in g_listenAddress{};

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
  g_listenAddress = any;
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

// The longest gap between ticks of a 2 ms timer on this thread while it runs.
class BlockMeter {
 public:
  BlockMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout,
                     [this] { longest_ = std::max(longest_, clock_.restart()); });
    clock_.start();
    timer_.start(2);
  }
  qint64 Longest() const { return longest_; }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 longest_ = 0;
};

bool RefreshAndWait(CNetworkList& view) {
  QSignalSpy applied(&view, &CNetworkList::RowsApplied);
  view.Refresh();
  return QTest::qWaitFor([&] { return applied.count() > 0 && !view.RefreshRunning(); }, 30000);
}

struct Page {
  QWidget host;
  std::unique_ptr<CNetworkList> list;
  Page() {
    host.resize(520, 400);
    host.show();
    list = std::make_unique<CNetworkList>(&host, nullptr, nullptr, false, 3600 * 1000);
  }
};

void BM_NetworkViewRefresh(benchmark::State& state) {
  Page page;
  RefreshAndWait(*page.list);
  RefreshAndWait(*page.list);
  BlockMeter meter;
  for (auto _ : state) {
    if (!RefreshAndWait(*page.list)) state.SkipWithError("no refresh");
  }
  state.counters["rows"] = page.list->List()->GetItemCount();
  state.counters["ui_block_ms"] = static_cast<double>(meter.Longest());
  state.counters["apply_ms"] = static_cast<double>(page.list->LongestApplyMs());
}
BENCHMARK(BM_NetworkViewRefresh)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_NetworkViewRefreshWithChurn(benchmark::State& state) {
  Page page;
  RefreshAndWait(*page.list);
  BlockMeter meter;
  std::vector<UniqueFd> extra;
  for (auto _ : state) {
    state.PauseTiming();
    extra.clear();
    for (int i = 0; i < 100; ++i) {
      UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (connect(client.Get(), reinterpret_cast<sockaddr*>(&g_listenAddress),
                  sizeof(g_listenAddress)) == 0) {
        extra.push_back(std::move(client));
      }
    }
    state.ResumeTiming();
    if (!RefreshAndWait(*page.list)) state.SkipWithError("no refresh");
  }
  state.counters["rows"] = page.list->List()->GetItemCount();
  state.counters["ui_block_ms"] = static_cast<double>(meter.Longest());
  state.counters["apply_ms"] = static_cast<double>(page.list->LongestApplyMs());
}
BENCHMARK(BM_NetworkViewRefreshWithChurn)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_NetworkViewFirstFill(benchmark::State& state) {
  BlockMeter meter;
  double rows = 0;
  qint64 apply = 0;
  for (auto _ : state) {
    Page page;
    if (!RefreshAndWait(*page.list) && page.list->RefreshesApplied() == 0) {
      state.SkipWithError("no refresh");
    }
    rows = page.list->List()->GetItemCount();
    apply = std::max(apply, page.list->LongestApplyMs());
  }
  state.counters["rows"] = rows;
  state.counters["ui_block_ms"] = static_cast<double>(meter.Longest());
  state.counters["apply_ms"] = static_cast<double>(apply);
}
BENCHMARK(BM_NetworkViewFirstFill)->UseRealTime()->Unit(benchmark::kMillisecond);

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
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::vector<qxfw::bench::RatioPair> pairs;
  for (const char* ours :
       {"BM_NetworkViewRefresh/real_time", "BM_NetworkViewRefreshWithChurn/real_time",
        "BM_NetworkViewFirstFill/real_time"}) {
    pairs.push_back({std::string("ss/") + ours, "BM_SsTanp/real_time", ours});
  }
  qxfw::bench::RatioReporter reporter(std::move(pairs), "(above 1: ours is faster)");
  return qxfw::bench::RunBenchmarks(argc, argv, reporter, [] {
    if (!OpenConnections()) return false;
    std::printf("%zu sockets open in this process\n", Sockets().size());
    return true;
  });
}
