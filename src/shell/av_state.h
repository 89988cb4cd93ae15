// Process-wide state of the antivirus work that the companion watchdog reads.
//
// The engine start, module scan, folder scan and update threads write these; the watchdog on
// the user-interface thread reads them. Atomics, so the reads see whole, current values.
#pragma once

#include <atomic>

namespace qxfw::shell {

// 0 idle, 1 busy, 2 done; g_bUpdating also -1 when the update failed.
extern std::atomic<int> g_bUpdating;
extern std::atomic<int> g_bInitEngine;
extern std::atomic<int> g_bAVScanRunning;

// Start-up flags from the command line.
extern std::atomic<bool> g_bAntiVirusEnabled;
extern std::atomic<bool> g_bVorpexScanWhenStartEnable;

// True when any antivirus work is busy (a state value of 1): the program must not end yet.
inline bool AntiVirusBusy() {
  return g_bUpdating.load() == 1 || g_bInitEngine.load() == 1 || g_bAVScanRunning.load() == 1;
}

}  // namespace qxfw::shell
