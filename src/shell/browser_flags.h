// The settings of the embedded browser's processes, made before the application starts.
//
// Every page view shows a local page of one site, so one renderer process serves them all
// (Chromium would otherwise start one per view). The pages are simple and are drawn without the
// graphics processor: the GL libraries that a GPU path loads cost more memory than the pages.
// When the user has switched the sandbox off (QTWEBENGINE_DISABLE_SANDBOX, which root needs, or
// --no-sandbox) the zygote processes, which only serve sandboxed starts, are left out; with the
// sandbox on only the unsandboxed zygote is (drawing and network run in the browser process).
// The sandbox itself is never switched off here. Settings the user made in the environment are
// kept and win. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qxfw::shell {

// The Chromium switches: ours first, then the user's (a later switch wins).
std::string BrowserFlags(std::string_view userFlags, bool sandboxOff);

// True when the user runs the browser without its sandbox: QTWEBENGINE_DISABLE_SANDBOX set to a
// non-empty value, or --no-sandbox among the user's switches.
bool SandboxOff(const char* disableSandbox, std::string_view userFlags);

}  // namespace qxfw::shell
