// The daemon's command line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace qltdifw {

struct DaemonOptions {
  bool foreground = false;
  std::string netns;  // empty: the daemon's own network namespace
  uint16_t queue = 0;
  std::string runtimeDir = "/run/qxfw";
  uid_t user = 0;  // besides root, the one user who may open the device
  int holdTimeoutSeconds = 30;
  // A client that has not fetched for this long while requests wait is treated as gone.
  int clientTimeoutSeconds = 5;
  int spinMicroseconds = 100;   // how long to look for a verdict before sleeping; 0: never
  bool alignedRecords = false;  // answer with the 36-byte and 268-byte record forms
};

// Parses argv. Returns 0 to run, 1 after --help was printed, 2 on a bad option (message on
// stderr). The user defaults to the one who started the daemon through pkexec or sudo.
int ParseDaemonOptions(int argc, char** argv, DaemonOptions* options);

}  // namespace qltdifw
