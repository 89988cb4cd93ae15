// Linked into every test binary: each test process gets a private runtime folder of its own
// ($XDG_RUNTIME_DIR, mode 0700), so the user's named events and the instance link of what it
// runs never meet those of other test processes or of a program running on the machine.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

struct PrivateRuntimeDir {
  PrivateRuntimeDir() {
    std::string pattern = "/tmp/qxfw-xdg-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    path = pattern;
    ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
  }
  // Removed by the process that made it, not by forked children that exit.
  ~PrivateRuntimeDir() {
    if (path.empty() || ::getpid() != owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  pid_t owner = ::getpid();
  std::string path;
};

PrivateRuntimeDir g_runtimeDir;

}  // namespace
