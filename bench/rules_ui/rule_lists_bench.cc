// The program page's list with 10,000 program rules and 1,000 IP/port rules in the store:
// how long opening the list (until every row is shown) and a header sort take, the longest
// stretch the user-interface thread is kept from its events meanwhile, the memory the shown rows
// take, and how many icon lookups run. Baseline in the same run: reading the same rules out of
// the store into an array, which every fill must do anyway.
//
// Two ways of showing the rows, each in a process of its own (so memory is measured from the
// same start), one after the other in the same run: "at-once", every row built on the
// user-interface thread, and "worker", the list's own way for a long list, the rows built on a
// worker thread and taken by a queued call.
//   rule_lists_bench [PROGRAMS [PORTS [at-once|worker]]]   (offscreen; the store is made in a
//   temporary folder)
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "controls/qx_list_ctrl.h"
#include "rules_ui/icon_cache.h"
#include "rules_ui/port_rules.h"
#include "rules_ui/program_rules.h"
#include "store/db_manager.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw;
using Clock = std::chrono::steady_clock;

namespace {

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Runs this program for each way of showing the rows.
int RunBoth(const char* self, int programs, int ports) {
  int status = 0;
  for (const char* variant : {"at-once", "worker"}) {
    std::string command = std::string("'") + self + "' " + std::to_string(programs) + " " +
                          std::to_string(ports) + " " + variant;
    std::fflush(stdout);
    status |= std::system(command.c_str());
  }
  return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int programs = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int ports = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (argc < 4) return RunBoth(argv[0], programs, ports);
  if (std::strcmp(argv[3], "at-once") == 0) {
    rules_ui::CProgramRules::SetSyncRows(std::numeric_limits<size_t>::max());
  }

  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  test_support::TempDir dir;
  store::CDBManager db(dir.path());
  auto made = Clock::now();
  for (int i = 0; i < programs; ++i) {
    store::tagFIREWALL_PROGRAM rule{};
    rule.action = static_cast<int16_t>(i % 3 == 2 ? 0 : i % 2);
    std::snprintf(rule.path, sizeof(rule.path), "/opt/bench/dir%03d/program-%05d", i % 300,
                  (i * 7919) % 100000);
    if (db.AddProgram(rule, nullptr) == 0) {
      std::fprintf(stderr, "store refused rule %d\n", i);
      return 1;
    }
  }
  for (int i = 0; i < ports; ++i) {
    store::tagFIREWALL_PORTIP rule{};
    rule.action = static_cast<int16_t>(i % 2);
    rule.beginPort = rule.endPort = static_cast<uint16_t>(1000 + i);
    rule.protocol = 1;
    rule.portType = 1;
    std::snprintf(rule.description, sizeof(rule.description), "rule %d", i);
    db.AddPortIp(rule);
  }
  std::printf("[%s] store filled with %d program and %d IP/port rules in %.0f ms\n", argv[3],
              programs, ports, Ms(Clock::now() - made));

  // Baseline: the rules read into an array.
  auto start = Clock::now();
  std::vector<store::tagFIREWALL_PROGRAM> array;
  db.Select(store::CDBManager::kSelectRuleFile);
  store::tagFIREWALL_PROGRAM rule{};
  while (db.Select(store::CDBManager::kSelectProgram) != 0) {
    if (db.GetProgram(&rule) != 0) array.push_back(rule);
  }
  const double baseline = Ms(Clock::now() - start);

  // The heartbeat: the longest gap between ticks of a 5 ms timer is the longest block.
  QElapsedTimer beat;
  beat.start();
  qint64 last = 0, longest = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    qint64 now = beat.elapsed();
    longest = std::max(longest, now - last);
    last = now;
  });
  heartbeat.start(5);

  QWidget page;
  page.resize(530, 420);
  // The window has drawn its texts (and so loaded its fonts) before the list is made.
  QLabel caption(QStringLiteral("Program list"), &page);
  QTreeWidget drawn(&page);
  drawn.setHeaderLabels({QStringLiteral("Path")});
  page.show();
  app.processEvents();
  drawn.hide();
  const long rssBefore = RssKb();
  rules_ui::TextSource texts = [](int id) { return QString::fromUtf8(store::kEnglishStrings[id]); };
  rules_ui::CProgramRules* list = nullptr;
  double fill = 0, sort = 0;
  // Fill and sort count until every row is shown; rows built on a worker arrive by a queued
  // call, so the heartbeat runs meanwhile.
  Clock::time_point t0, t1;
  bool sorting = false;
  auto quitLater = [&app] {
    // Icons arrive meanwhile; give their worker time, then stop.
    QTimer::singleShot(3000, &app, &QApplication::quit);
  };
  auto sortNow = [&] {
    t1 = Clock::now();
    sorting = true;
    list->OnHeaderClick(1);
    if (!list->RowsPending()) {
      sort = Ms(Clock::now() - t1);
      sorting = false;
      quitLater();
    }
  };
  QTimer::singleShot(20, [&] {
    last = beat.elapsed();
    t0 = Clock::now();
    list = new rules_ui::CProgramRules(&page, db, texts, nullptr);
    list->List()->show();
    QObject::connect(list, &rules_ui::CProgramRules::RowsShown, [&] {
      if (sorting) {
        sort = Ms(Clock::now() - t1);
        sorting = false;
        quitLater();
      } else if (fill == 0) {
        fill = Ms(Clock::now() - t0);
        QTimer::singleShot(20, sortNow);
      }
    });
    if (!list->RowsPending()) {
      fill = Ms(Clock::now() - t0);
      QTimer::singleShot(20, sortNow);
    }
  });
  app.exec();
  app.processEvents();
  const long rssAfter = RssKb();
  std::printf("[%s] rows %d, fill %.1f ms (budget 100), header sort %.1f ms (budget 50)\n", argv[3],
              list->List()->GetItemCount(), fill, sort);
  std::printf("[%s] longest user-interface block %lld ms (budget 50)\n", argv[3],
              static_cast<long long>(longest));
  std::printf("[%s] memory growth %.1f MB (budget 20)\n", argv[3], (rssAfter - rssBefore) / 1024.0);
  std::printf("[%s] icon lookups started %zu (one worker batch per new set of paths)\n", argv[3],
              list->Icons()->LookupsStarted());
  std::printf(
      "[%s] ratio fill/baseline %.2f, sort/baseline %.2f (baseline: reading the rules %.1f ms)\n",
      argv[3], fill / baseline, sort / baseline, baseline);
  std::printf("[%s] ratio budget/fill %.2f, budget/sort %.2f, budget/block %.2f\n", argv[3],
              100.0 / fill, 50.0 / sort, longest > 0 ? 50.0 / static_cast<double>(longest) : 0.0);
  return 0;
}
