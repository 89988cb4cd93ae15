#include "shell/av_state.h"

namespace qxfw::shell {

std::atomic<int> g_bUpdating{0};
std::atomic<int> g_bInitEngine{0};
std::atomic<int> g_bAVScanRunning{0};
std::atomic<bool> g_bAntiVirusEnabled{false};
std::atomic<bool> g_bVorpexScanWhenStartEnable{true};

}  // namespace qxfw::shell
