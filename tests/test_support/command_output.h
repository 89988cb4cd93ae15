// Test helper: runs a shell command line and collects its exit status and output (stdout and
// whatever the command line redirects there). Safe from any thread.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace qxfw::test_support {

struct CommandOutput {
  int status;  // the exit status, -1 when the command did not exit normally
  std::string out;
};

inline CommandOutput RunCommandLine(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace qxfw::test_support
