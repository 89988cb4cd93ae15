#include "setup/driver_service.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "setup/supervised_service.h"
#include "setup/systemd_service.h"

namespace qxfw::setup {

bool SystemdRuns() {
  struct stat st {};
  return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

std::unique_ptr<CDriverService> MakeDriverService(const DaemonPlace& place) {
  if (SystemdRuns()) return std::make_unique<CSystemdService>(place);
  return std::make_unique<CSupervisedService>(place);
}

bool WaitForDeviceSocket(const std::string& runtime, int timeoutMs) {
  std::string socket = runtime + "/qltdifw.sock";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    struct stat st {};
    if (stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace qxfw::setup
