#include "shell/home_state.h"

#include <ctime>

#include "store/string_table.h"

namespace qxfw::shell {
namespace {

// Numbers of the texts (the string table's and those beside it).
enum Text : int {
  kTextTitle = 149,  // "Talvoran Firewall"
  kTextLevelOff = 154,
  kTextLevelLow = 155,
  kTextLevelMedium = 156,
  kTextLevelHigh = 157,
  kTextSecurityLevel = 174,
  kTextProtected = 213,
  kTextNotProtected,
  kTextProtectedSummary,
  kTextNotStartedProblem,
  kTextBusyProblem,
  kTextDeniedProblem,
  kTextGoneProblem,
  kTextLevelOffProblem,
  kTextStartFilter,
  kTextChangeLevel,
  kTextFilter,
  kTextAttached,
  kTextNotStarted,
  kTextRefusedBusy,
  kTextRefusedDenied,
  kTextGone,
  kTextStarting,
  kTextProgramRules,
  kTextPortRules,
  kTextWaiting,
  kTextAntiVirus,
  kTextReady,
  kTextNotInstalled,
  kTextNoSignatures,
  kTextUpdating,
  kTextEngineStarting,
  kTextScanning,
  kTextSignatures,
  kTextVersionDate,
  kTextUnknown,
  kTextLastScan,
  kTextNever,
  kTextScanClean,
  kTextScanInfected,
  kTextScanErrors,
  kTextChange,
};
static_assert(kTextChange == 248);

int LevelText(int level) {
  switch (level) {
    case 1:
      return kTextLevelOff;
    case 2:
      return kTextLevelLow;
    case 4:
      return kTextLevelHigh;
    default:
      return kTextLevelMedium;
  }
}

int DaemonText(DaemonLink link) {
  switch (link) {
    case DaemonLink::kAttached:
      return kTextAttached;
    case DaemonLink::kNotStarted:
      return kTextNotStarted;
    case DaemonLink::kRefusedBusy:
      return kTextRefusedBusy;
    case DaemonLink::kRefusedDenied:
      return kTextRefusedDenied;
    case DaemonLink::kGone:
      return kTextGone;
  }
  return kTextNotStarted;
}

int DaemonProblemText(DaemonLink link) {
  switch (link) {
    case DaemonLink::kRefusedBusy:
      return kTextBusyProblem;
    case DaemonLink::kRefusedDenied:
      return kTextDeniedProblem;
    case DaemonLink::kGone:
      return kTextGoneProblem;
    default:
      return kTextNotStartedProblem;
  }
}

int EngineText(EngineState state) {
  switch (state) {
    case EngineState::kNotInstalled:
      return kTextNotInstalled;
    case EngineState::kNoSignatures:
      return kTextNoSignatures;
    case EngineState::kReady:
      return kTextReady;
    case EngineState::kUpdating:
      return kTextUpdating;
    case EngineState::kStarting:
      return kTextEngineStarting;
    case EngineState::kScanning:
      return kTextScanning;
  }
  return kTextNotInstalled;
}

HomeRow Row(std::string key, std::string label, std::string value, bool warning = false,
            std::string command = {}, std::string button = {}) {
  return HomeRow{std::move(key), std::move(label),   std::move(value),
                 warning,        std::move(command), std::move(button)};
}

}  // namespace

EngineState EngineStateOf(const AntiVirusFacts& files, int updating, int initEngine, int scanning) {
  if (!files.library || !files.engine) return EngineState::kNotInstalled;
  if (updating == 1) return EngineState::kUpdating;
  if (initEngine == 1) return EngineState::kStarting;
  if (scanning == 1) return EngineState::kScanning;
  return files.databases == 0 ? EngineState::kNoSignatures : EngineState::kReady;
}

std::string LocalDateText(int64_t seconds, bool withTime) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return {};
  char text[32];
  size_t n = std::strftime(text, sizeof(text), withTime ? "%Y-%m-%d %H:%M" : "%Y-%m-%d", &local);
  return std::string(text, n);
}

HomeReport DescribeHome(const HomeFacts& facts, const TextSource& text) {
  HomeReport report;
  const bool attached = facts.daemon == DaemonLink::kAttached;
  const bool levelOff = facts.level == 1;
  report.protectedNow = attached && !levelOff;
  report.tray = attached && facts.waiting > 0 ? TrayLook::kWaiting
                : report.protectedNow         ? TrayLook::kProtected
                                              : TrayLook::kNotProtected;
  report.headline = text(report.protectedNow ? kTextProtected : kTextNotProtected);

  // What is not protected, and how to fix it. A start is offered unless one runs already or
  // another program holds the filter (starting it again would not free it).
  if (!attached) {
    HomeProblem problem{text(DaemonProblemText(facts.daemon)), {}, {}};
    if (!facts.daemonStarting && facts.daemon != DaemonLink::kRefusedBusy) {
      problem.command = kStartDriverCommand;
      problem.button = text(kTextStartFilter);
    }
    report.problems.push_back(problem);
  }
  if (levelOff) {
    report.problems.push_back(
        {text(kTextLevelOffProblem), kOptionsCommand, text(kTextChangeLevel)});
  }
  report.summary = report.protectedNow ? text(kTextProtectedSummary) : std::string();

  HomeRow filter =
      Row("filter", text(kTextFilter),
          text(facts.daemonStarting && !attached ? kTextStarting : DaemonText(facts.daemon)),
          !attached);
  report.rows.push_back(filter);
  report.rows.push_back(Row("level", text(kTextSecurityLevel), text(LevelText(facts.level)),
                            levelOff, kOptionsCommand, text(kTextChange)));
  report.rows.push_back(
      Row("programRules", text(kTextProgramRules), std::to_string(facts.programRules)));
  report.rows.push_back(Row("portRules", text(kTextPortRules), std::to_string(facts.portRules)));
  report.rows.push_back(
      Row("waiting", text(kTextWaiting), std::to_string(facts.waiting), facts.waiting > 0));
  const bool engineMissing =
      facts.engine == EngineState::kNotInstalled || facts.engine == EngineState::kNoSignatures;
  report.rows.push_back(
      Row("antivirus", text(kTextAntiVirus), text(EngineText(facts.engine)), engineMissing));
  std::string signatures = text(kTextUnknown);
  if (!facts.signatureVersion.empty() || facts.signatureDate != 0) {
    std::string version =
        facts.signatureVersion.empty() ? text(kTextUnknown) : facts.signatureVersion.substr(0, 40);
    std::string date =
        facts.signatureDate != 0 ? LocalDateText(facts.signatureDate, false) : text(kTextUnknown);
    signatures = store::FillText(text(kTextVersionDate), {version, date});
  }
  report.rows.push_back(Row("signatures", text(kTextSignatures), signatures));
  std::string last = text(kTextNever);
  bool lastWarning = false;
  if (facts.lastScan) {
    const LastScanRecord& scan = *facts.lastScan;
    const int which = scan.infected > 0 ? kTextScanInfected
                      : scan.errors > 0 ? kTextScanErrors
                                        : kTextScanClean;
    const uint64_t third = scan.infected > 0 ? scan.infected : scan.errors;
    last = store::FillText(text(which), {LocalDateText(scan.finished, true),
                                         std::to_string(scan.scanned), std::to_string(third)});
    lastWarning = scan.infected > 0;
  }
  report.rows.push_back(Row("lastScan", text(kTextLastScan), last, lastWarning));

  // The tip: the name, the headline, and the first thing to know.
  std::string detail;
  if (report.tray == TrayLook::kWaiting) {
    detail = text(kTextWaiting) + ": " + std::to_string(facts.waiting);
  } else if (!attached) {
    detail = text(kTextFilter) + ": " + filter.value;
  } else if (levelOff) {
    detail = text(kTextSecurityLevel) + ": " + text(kTextLevelOff);
  }
  report.trayTip = text(kTextTitle) + "\n" + report.headline;
  if (!detail.empty()) report.trayTip += "\n" + detail;
  return report;
}

}  // namespace qxfw::shell
