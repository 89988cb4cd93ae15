// What the home page and the tray icon say, from the facts about the filter daemon, the rules,
// the prompts and the antivirus part.
//
// The program counts as protected only while the filter daemon is attached to it (it then holds
// every new connection until the rules or the user decide it) and the security level is not
// Off. Otherwise the report names what is not protected and the fix the page offers for it.
// Texts come by number from a text source (the string table and the texts beside it), so one
// model serves both languages. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shell/antivirus_facts.h"
#include "shell/last_scan.h"

namespace qxfw::shell {

// How the program stands with the filter daemon.
enum class DaemonLink {
  kAttached,       // the device is the program's: new connections are held for it
  kNotStarted,     // no daemon listens (never seen attached in this run)
  kRefusedBusy,    // another client holds the device
  kRefusedDenied,  // the daemon was started for another user
  kGone,           // it was attached and the daemon went away
};

// The scanner's state: busy states from the program's antivirus work, the others from files.
enum class EngineState { kNotInstalled, kNoSignatures, kReady, kUpdating, kStarting, kScanning };

// The engine state that the antivirus folder and the program's work flags (0 idle, 1 busy,
// 2 done, -1 failed) give.
EngineState EngineStateOf(const AntiVirusFacts& files, int updating, int initEngine, int scanning);

struct HomeFacts {
  DaemonLink daemon = DaemonLink::kNotStarted;
  bool daemonStarting = false;  // the installer runs for a start the user asked for
  int level = 3;                // 1 Off, 2 Low, 3 Medium, 4 High
  uint32_t programRules = 0;
  uint32_t portRules = 0;
  uint32_t waiting = 0;  // connections held for the user's answer now
  EngineState engine = EngineState::kNotInstalled;
  std::string signatureVersion;  // empty: unknown
  int64_t signatureDate = 0;     // seconds since the epoch; 0: unknown
  std::optional<LastScanRecord> lastScan;
  bool operator==(const HomeFacts&) const = default;
};

enum class TrayLook { kProtected, kNotProtected, kWaiting };

// Page commands the report offers as fixes (sent as "app:<command>").
inline constexpr char kStartDriverCommand[] = "cmdStartDriver";
inline constexpr char kOptionsCommand[] = "Options";

// Something that is not protected, and the fix: a command and its button (none when empty).
struct HomeProblem {
  std::string text;
  std::string command;
  std::string button;
  bool operator==(const HomeProblem&) const = default;
};

// One line of the page's fact table, found on the page by its key.
struct HomeRow {
  std::string key;  // filter, level, programRules, portRules, waiting, antivirus, signatures,
                    // lastScan
  std::string label;
  std::string value;
  bool warning = false;  // the value is a reason for concern
  std::string command;   // an action beside the value, or empty
  std::string button;
  bool operator==(const HomeRow&) const = default;
};

struct HomeReport {
  bool protectedNow = false;
  TrayLook tray = TrayLook::kNotProtected;
  std::string headline;
  std::string summary;
  std::vector<HomeProblem> problems;
  std::vector<HomeRow> rows;
  std::string trayTip;
  bool operator==(const HomeReport&) const = default;
};

// The text of a number: the string table (0-212) or the texts beside it (213 on).
using TextSource = std::function<std::string(int number)>;

HomeReport DescribeHome(const HomeFacts& facts, const TextSource& text);

// "YYYY-MM-DD HH:MM" (withTime) or "YYYY-MM-DD" in local time.
std::string LocalDateText(int64_t seconds, bool withTime);

}  // namespace qxfw::shell
