// The daemon without systemd: started by the installer under a supervisor process.
//
// Start forks a supervisor that leaves the installer's session, runs
//   qltdifw --foreground --user <uid> --runtime-dir <runtime>
// writes its pid to "<runtime>/qltdifw.pid" (replaced atomically), and starts it again when it
// dies of a fault (at most three times a minute). A daemon that ends after a termination
// request, or exits with status 0, is not restarted; the supervisor then removes the pid file
// and ends. Before any signal the pid is checked against /proc/<pid>/exe, so a stale pid file
// never makes the installer signal an unrelated process.
#pragma once

#include "setup/driver_service.h"

namespace qxfw::setup {

class CSupervisedService : public CDriverService {
 public:
  explicit CSupervisedService(DaemonPlace place) : place_(std::move(place)) {}
  bool Start(uid_t deviceUser) override;
  bool Stop() override;
  bool Remove() override { return Stop(); }

  std::string PidFile() const { return place_.runtime + "/qltdifw.pid"; }
  // The pid in the pid file when that process runs the daemon program, else 0.
  pid_t RunningPid() const;

 private:
  [[noreturn]] void Supervise(uid_t deviceUser);
  DaemonPlace place_;
};

}  // namespace qxfw::setup
