// The log page's fill with 100,000 rule-journal entries: the driver writes them through the
// rule store (add and delete of an IP/port rule, alternately, all dated today) into a temporary
// folder, then times one fill of the real list for a one-month range that holds all of them.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "controls/qx_list_ctrl.h"
#include "monitor/ui/log_view.h"
#include "ratio_reporter.h"
#include "store/db_manager.h"

namespace {

constexpr int kEntries = 100000;
std::string g_folder;

bool WriteJournal() {
  char pattern[] = "/tmp/qxfw-log-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  g_folder = pattern;
  qxfw::store::CDBManager store(g_folder);
  qxfw::store::tagFIREWALL_PORTIP rule{};
  rule.action = 1;
  rule.protocol = 1;
  rule.portType = 1;
  for (int i = 0; i < kEntries / 2; ++i) {
    rule.beginPort = rule.endPort = static_cast<uint16_t>(1000 + i % 5000);
    if (store.AddPortIp(rule) == 0 || store.DeletePortIp(rule) == 0) {
      std::fprintf(stderr, "journal write failed at %d\n", i);
      return false;
    }
  }
  return true;
}

void BM_LogViewFillOneMonth(benchmark::State& state) {
  qxfw::store::CDBManager store(g_folder);
  QWidget host;
  host.resize(520, 400);
  qxfw::monitor::CLogList log(&host, nullptr, nullptr, store, false);
  QDate today = QDate::currentDate();
  log.SetDatePicker(
      [&](QWidget*, const QDate&) { return std::optional<QDate>(today.addDays(-30)); });
  log.ChooseBegin();
  for (auto _ : state) log.Refresh();
  state.counters["rows"] = log.List()->GetItemCount();
}
BENCHMARK(BM_LogViewFillOneMonth)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  qxfw::bench::RatioReporter reporter({}, "");
  int result = qxfw::bench::RunBenchmarks(argc, argv, reporter, [] { return WriteJournal(); });
  if (!g_folder.empty()) std::filesystem::remove_all(g_folder);
  return result;
}
