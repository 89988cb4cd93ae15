#include "shell/command_line.h"

#include <strings.h>
#include <cerrno>
#include <cstdlib>

#include "platform/debug_output.h"
#include "store/db_manager.h"
#include "store/rule_text.h"

namespace qxfw::shell {
namespace {

std::string_view Trim(std::string_view value) {
  auto blankOrQuote = [](char c) { return c == ' ' || c == '\t' || c == '"'; };
  while (!value.empty() && blankOrQuote(value.front())) value.remove_prefix(1);
  while (!value.empty() && blankOrQuote(value.back())) value.remove_suffix(1);
  return value;
}

bool IsOff(const std::string& value) {
  return strcasecmp(value.c_str(), "off") == 0;
}

// A decimal integer that fits an int; nothing else.
std::optional<int> ReadInteger(const std::string& value) {
  if (value.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long number = std::strtol(value.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || number < -2147483647L - 1 || number > 2147483647L) {
    return std::nullopt;
  }
  return static_cast<int>(number);
}

void ReadPiece(std::string_view piece, StartOptions* options) {
  if (piece.empty()) return;
  const char letter = piece[0];
  std::string value;
  bool cut = false;
  if (piece.size() > 2) {
    std::string_view raw = Trim(piece.substr(2));
    cut = raw.size() > kOptionValueLimit;
    value = std::string(Trim(raw.substr(0, kOptionValueLimit)));
  }
  switch (letter) {
    case 'G':
    case 'P':
      options->ruleOptions.push_back({letter, value, cut});
      break;
    case 'a':
      options->antivirusEnabled = !IsOff(value);
      break;
    case 'b':
      if (auto n = ReadInteger(value)) options->updateMode = *n;
      break;
    case 'e':
      options->trayMenuVariant = !IsOff(value);
      break;
    case 'f':
      options->levelRaisePermitted = strcasecmp(value.c_str(), "site") == 0;
      break;
    case 'l':
      if (auto n = ReadInteger(value)) options->requestedLevel = (*n >= 5 || *n < 0) ? 4 : *n;
      break;
    case 'p':
      if (!value.empty() && options->trustedPaths.size() < kMaxTrustedPaths) {
        options->trustedPaths.push_back(value);
      }
      break;
    case 's':
      options->startScan = !IsOff(value);
      break;
    default:
      break;
  }
}

template <typename Rule, typename Parse, typename Add>
int AddAll(const std::string& value, Parse parse, Add add, bool* failed) {
  std::vector<Rule> rules;
  if (!parse(value, &rules)) {
    platform::DebugOutput("[QXFW.exe] CFireWallApp::ParseCommandLine rule list refused: %s",
                          value.c_str());
    return 0;
  }
  int added = 0;
  for (Rule& rule : rules) {
    if (add(rule) == 0) {
      *failed = true;
      break;
    }
    ++added;
  }
  return added;
}

}  // namespace

StartOptions ParseStartOptions(std::string_view text) {
  StartOptions options;
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '/' && (i == 0 || text[i - 1] == ' ')) starts.push_back(i);
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t begin = starts[k] + 1;
    size_t end = k + 1 < starts.size() ? starts[k + 1] : text.size();
    ReadPiece(text.substr(begin, end - begin), &options);
  }
  return options;
}

int StoreRules(const StartOptions& options, store::CDBManager& db) {
  int added = 0;
  bool failed = false;
  for (const StartOptions::RuleOption& option : options.ruleOptions) {
    if (failed) break;
    if (option.cut) {
      platform::DebugOutput(
          "[QXFW.exe] CFireWallApp::ParseCommandLine rule list over %zu "
          "characters refused",
          kOptionValueLimit);
      continue;
    }
    if (option.letter == 'G') {
      added += AddAll<store::tagFIREWALL_PROGRAM>(
          option.value, store::ParseProgramList,
          [&](store::tagFIREWALL_PROGRAM& p) { return db.AddProgram(p, nullptr); }, &failed);
    } else {
      added += AddAll<store::tagFIREWALL_PORTIP>(
          option.value, store::ParsePortIpList,
          [&](store::tagFIREWALL_PORTIP& r) { return db.AddPortIp(r); }, &failed);
    }
  }
  return added;
}

int LevelAfterOptions(const StartOptions& options, int current) {
  if (options.requestedLevel && *options.requestedLevel > current && options.levelRaisePermitted) {
    return *options.requestedLevel;
  }
  return current;
}

}  // namespace qxfw::shell
