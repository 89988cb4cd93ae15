#include "setup/systemd_service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "monitor/samba_tool.h"
#include "platform/debug_output.h"
#include "setup/installed_file.h"

#ifndef QXFW_INSTALLED_SYSTEM_DIR
#define QXFW_INSTALLED_SYSTEM_DIR "/usr/local/lib/qxfw"
#endif
#ifndef QXFW_UNIT_FILE
#define QXFW_UNIT_FILE "/usr/local/lib/systemd/system/qltdifw.service"
#endif

namespace qxfw::setup {
namespace {

constexpr char kUnit[] = "qltdifw.service";
constexpr int kSystemctlTimeoutMs = 30000;
constexpr int kStartTimeoutMs = 10000;

}  // namespace

bool CSystemdService::Systemctl(const std::vector<std::string>& args, std::string* output) const {
  std::string program = monitor::FindSambaTool("systemctl", toolPath_);
  if (program.empty()) return false;
  monitor::SambaToolResult result =
      monitor::RunSambaTool(program, args, kSystemctlTimeoutMs, 65536);
  if (output != nullptr) *output = result.output;
  return result.Completed() && result.exitCode == 0;
}

std::string CSystemdService::Property(const char* name) const {
  std::string value;
  Systemctl({"show", "--property", name, "--value", kUnit}, &value);
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return value;
}

bool CSystemdService::Start(uid_t deviceUser) {
  std::string load = Property("LoadState");
  if (load == "masked") {
    // A masked unit is this platform's disabled driver service: it is made startable again.
    Systemctl({"unmask", kUnit});
    Systemctl({"unmask", "--runtime", kUnit});
    Systemctl({"daemon-reload"});
    load = Property("LoadState");
  }
  if (load == "not-found" || load.empty()) {
    if (!WriteInstalledFile(unitDir_, kUnit, place_.unitText, 0644)) return false;
  }
  std::string dropIns = unitDir_ + "/" + kUnit + ".d";
  if (mkdir(dropIns.c_str(), 0755) != 0 && errno != EEXIST) return false;
  std::string conf = "[Service]\nEnvironment=QLTDIFW_USER=" + std::to_string(deviceUser) +
                     "\nEnvironment=QLTDIFW_RUNTIME_DIR=" + place_.runtime + "\n";
  if (!WriteInstalledFile(dropIns, "user.conf", conf, 0644)) return false;
  Systemctl({"daemon-reload"});
  if (Property("ActiveState") == "active") {
    platform::DebugOutput("[QXFWSetup] StartDriver: qltdifw.service is already running");
    return true;
  }
  if (!Systemctl({"start", kUnit})) {
    platform::DebugOutput("[QXFWSetup] StartDriver: systemctl start %s failed", kUnit);
    return false;
  }
  return WaitForDeviceSocket(place_.runtime, kStartTimeoutMs);
}

bool CSystemdService::Stop() {
  Systemctl({"stop", kUnit});
  return Property("ActiveState") != "active";
}

bool CSystemdService::Remove() {
  bool stopped = Stop();
  std::string dropIns = unitDir_ + "/" + kUnit + ".d";
  DeleteInstalledFile(dropIns, "user.conf");
  rmdir(dropIns.c_str());
  DeleteInstalledFile(unitDir_, kUnit);
  // The packaged unit belongs to the installed daemon only.
  if (place_.program == std::string(QXFW_INSTALLED_SYSTEM_DIR) + "/qltdifw") {
    std::string installed = QXFW_UNIT_FILE;
    size_t slash = installed.rfind('/');
    DeleteInstalledFile(installed.substr(0, slash), installed.substr(slash + 1));
  }
  Systemctl({"daemon-reload"});
  return stopped;
}

}  // namespace qxfw::setup
