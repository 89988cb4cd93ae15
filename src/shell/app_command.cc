#include "shell/app_command.h"

#include <strings.h>

namespace qxfw::shell {
namespace {

struct CommandName {
  const char* name;
  AppCommand command;
};

constexpr CommandName kCommands[] = {
    {"Home", AppCommand::kHome},
    {"Network", AppCommand::kNetwork},
    {"Program", AppCommand::kProgram},
    {"Ip&Port", AppCommand::kIpPort},
    {"SharedFolder", AppCommand::kSharedFolder},
    {"Log", AppCommand::kLog},
    {"Help", AppCommand::kHelp},
    {"AV", AppCommand::kAntiVirus},
    {"Close", AppCommand::kClose},
    {"Options", AppCommand::kOptions},
    {"Minimize", AppCommand::kMinimize},
};

// The help pages live in the page set itself, so help works without a network.
constexpr char kHelpBase[] = "help.html#";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool FilterAppUrl(std::string_view url, AppCommand* command, std::string* buffer) {
  *command = AppCommand::kNone;
  if (url.size() < 4 || strncasecmp(url.data(), "app:", 4) != 0) return false;
  std::string text = PercentDecode(url.substr(4));
  if (text.size() > kCommandBufferSize - 1) text.resize(kCommandBufferSize - 1);
  for (const CommandName& c : kCommands) {
    if (strcasecmp(text.c_str(), c.name) == 0) {
      *command = c.command;
      *buffer = kAlreadyProcessed;
      return true;
    }
  }
  *buffer = text;
  return true;
}

int PageOfCommand(AppCommand command) {
  switch (command) {
    case AppCommand::kHome:
      return 0;
    case AppCommand::kNetwork:
      return 1;
    case AppCommand::kProgram:
      return 2;
    case AppCommand::kIpPort:
      return 3;
    case AppCommand::kSharedFolder:
      return 4;
    case AppCommand::kLog:
      return 5;
    case AppCommand::kHelp:
      return 6;
    case AppCommand::kAntiVirus:
      return 7;
    default:
      return -1;
  }
}

std::string HelpAddress(int page) {
  static const char* const kParts[8] = {"",       "network/", "program/", "ipport",
                                        "shared", "log",      "",         "vorpex"};
  if (page < 0 || page > 7 || kParts[page][0] == '\0') return "";
  return std::string(kHelpBase) + kParts[page];
}

std::string PageAddress(const std::string& pageFolder, bool korean, const std::string& file) {
  std::string folder = pageFolder;
  if (!folder.empty() && folder[0] == '/') folder.erase(0, 1);
  return "file:///" + folder + (korean ? "kr" : "en") + "/" + file;
}

}  // namespace qxfw::shell
