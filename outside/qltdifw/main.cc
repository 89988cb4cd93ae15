// qltdifw: the filter daemon. Parses the options, daemonises unless told to stay, and runs.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "daemon_options.h"
#include "filter_daemon.h"

int main(int argc, char** argv) {
  qltdifw::DaemonOptions options;
  int parsed = qltdifw::ParseDaemonOptions(argc, argv, &options);
  if (parsed == 1) return 0;
  if (parsed != 0) return 2;
  if (geteuid() != 0) {
    std::fprintf(stderr, "qltdifw: must run as root\n");
    return 1;
  }
  openlog("qltdifw", LOG_PID | (options.foreground ? LOG_PERROR : 0), LOG_DAEMON);
  if (!options.foreground && daemon(0, 0) != 0) {
    std::perror("qltdifw: daemon");
    return 1;
  }
  qltdifw::FilterDaemon filter(options);
  if (!filter.Start()) return 1;
  return filter.Run();
}
