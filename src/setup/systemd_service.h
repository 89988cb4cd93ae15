// The daemon as the systemd unit "qltdifw.service", started on demand and never enabled.
//
// The unit file comes with the package (<prefix>/lib/systemd/system); when systemd does not
// know the unit, the installer writes it to /run/systemd/system. The device user is passed in
// the runtime drop-in "/run/systemd/system/qltdifw.service.d/user.conf". A masked unit (the
// disabled start type here) is unmasked before the start. "Already running" is success.
#pragma once

#include <string>
#include <vector>

#include "setup/driver_service.h"

namespace qxfw::setup {

class CSystemdService : public CDriverService {
 public:
  // runtimeUnitDir: where a unit systemd does not know is written; toolPath: the folders
  // searched for systemctl.
  explicit CSystemdService(DaemonPlace place, std::string runtimeUnitDir = "/run/systemd/system",
                           std::string toolPath = "/usr/bin:/bin:/usr/sbin:/sbin")
      : place_(std::move(place)),
        unitDir_(std::move(runtimeUnitDir)),
        toolPath_(std::move(toolPath)) {}
  bool Start(uid_t deviceUser) override;
  bool Stop() override;
  bool Remove() override;

 private:
  bool Systemctl(const std::vector<std::string>& args, std::string* output = nullptr) const;
  std::string Property(const char* name) const;
  DaemonPlace place_;
  std::string unitDir_;
  std::string toolPath_;
};

}  // namespace qxfw::setup
