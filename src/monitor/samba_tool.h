// Running Samba's command-line tools ("net", "testparm") and collecting what they print.
//
// The share list reads the machine's shares through these tools. A tool is found on a search
// path (like $PATH) and started directly with posix_spawn, never through a shell, so share
// names and file names are passed as plain arguments. Its standard output is collected up to
// a limit; standard input and error are /dev/null. A tool that runs past its time-out or
// prints more than the limit is killed. Stateless and thread-safe.
#pragma once

#include <string>
#include <vector>

namespace qxfw::monitor {

struct SambaToolResult {
  bool started = false;    // the program could be started
  bool timedOut = false;   // killed after the time-out
  bool truncated = false;  // killed because it printed more than the limit
  int exitCode = -1;       // exit status; -1 when it did not exit normally
  std::string output;      // standard output, at most the limit

  // Started, ended by itself, within time and limit (whatever its exit code).
  bool Completed() const { return started && !timedOut && !truncated && exitCode >= 0; }
};

// Full path of the executable file name in the colon-separated folders of searchPath; empty
// when there is none. A name containing "/" is not searched.
std::string FindSambaTool(const std::string& name, const std::string& searchPath);

// Runs program (a full path) with args (argv[1]...), waiting at most timeoutMs.
SambaToolResult RunSambaTool(const std::string& program, const std::vector<std::string>& args,
                             int timeoutMs, size_t outputLimit);

}  // namespace qxfw::monitor
