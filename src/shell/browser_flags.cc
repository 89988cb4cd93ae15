#include "shell/browser_flags.h"

namespace qxfw::shell {

bool SandboxOff(const char* disableSandbox, std::string_view userFlags) {
  return (disableSandbox != nullptr && *disableSandbox != '\0') ||
         userFlags.find("--no-sandbox") != std::string_view::npos;
}

std::string BrowserFlags(std::string_view userFlags, bool sandboxOff) {
  std::string flags = "--renderer-process-limit=1 --process-per-site --disable-gpu";
  // The zygote refuses to be left out while the sandbox is on; --no-sandbox only repeats what
  // the user already chose, for the switches to be checked together.
  if (sandboxOff) flags += " --no-sandbox --no-zygote";
  // With the sandbox on, the renderers start from the sandboxed zygote; the unsandboxed one
  // serves helper processes that run in the browser process here (drawing, network).
  if (!sandboxOff) flags += " --no-unsandboxed-zygote";
  if (!userFlags.empty()) {
    flags += ' ';
    flags += userFlags;
  }
  return flags;
}

}  // namespace qxfw::shell
