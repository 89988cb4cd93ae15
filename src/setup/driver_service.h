// The filter daemon "qltdifw" as a service: started on demand, stopped, and removed.
//
// Two roads do the job of the service control manager. Where systemd runs (/run/systemd/system
// exists) the daemon is the unit "qltdifw.service"; otherwise the installer starts it itself
// under a small supervisor and keeps its pid in the runtime folder. Either way Start returns
// true once the daemon serves its device socket "<runtime>/qltdifw.sock", and a daemon that
// already runs counts as started.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace qxfw::setup {

struct DaemonPlace {
  std::string program;   // <system folder>/qltdifw
  std::string runtime;   // its runtime folder (socket, pid file)
  std::string unitText;  // the unit text, system folder filled in (systemd road only)
};

class CDriverService {
 public:
  virtual ~CDriverService() = default;
  // Starts the daemon for device user deviceUser; true when it runs afterwards.
  virtual bool Start(uid_t deviceUser) = 0;
  // Stops the daemon (it removes its queue rules and socket); true when it no longer runs.
  virtual bool Stop() = 0;
  // Stops the daemon and removes what registered it (unit files, pid file).
  virtual bool Remove() = 0;
};

// The road for this machine.
std::unique_ptr<CDriverService> MakeDriverService(const DaemonPlace& place);

bool SystemdRuns();

// Waits up to timeoutMs for the device socket of the daemon in runtime; false on time-out.
bool WaitForDeviceSocket(const std::string& runtime, int timeoutMs);

}  // namespace qxfw::setup
