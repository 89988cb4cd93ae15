// The "app:" command filter shared by every page: which addresses are commands, and which
// commands belong to the application rather than to the page that sent them.
//
// Commands are compared without regard to case. The text after "app:" is percent-decoded and
// cut to 259 characters (the 260-byte command buffer) before it is compared, so "app:Ip%26Port"
// and "app:ip&port" are the same command. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qxfw::shell {

inline constexpr size_t kCommandBufferSize = 260;
// What the buffer holds after an application command, so the page's own check finds nothing.
inline constexpr char kAlreadyProcessed[] = "HareKrishnaAlreayProcessed";

enum class AppCommand {
  kNone,  // not an application command: the page's own (cmdAdd, ...) or unknown
  kHome,
  kNetwork,
  kProgram,
  kIpPort,
  kSharedFolder,
  kLog,
  kHelp,
  kAntiVirus,
  kClose,
  kOptions,
  kMinimize,
};

// True when url starts with "app:" (the navigation is then cancelled). buffer receives the
// decoded command; for an application command it is overwritten with kAlreadyProcessed and
// command names it; otherwise command is kNone and buffer keeps the page command.
bool FilterAppUrl(std::string_view url, AppCommand* command, std::string* buffer);

// Page index that a page command selects (0-7), or -1 for commands that select no page.
int PageOfCommand(AppCommand command);

// Help address of a page: the help base followed by the page's part; "" for pages 0 and 6.
std::string HelpAddress(int page);

// "file:///<pageFolder><lang>/<file>" with lang "kr" for Korean, else "en"; pageFolder ends
// in "/" and starts with "/", so the address has the usual three slashes.
std::string PageAddress(const std::string& pageFolder, bool korean, const std::string& file);

}  // namespace qxfw::shell
