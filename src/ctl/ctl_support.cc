#include "ctl/ctl_support.h"

#include <algorithm>
#include <cstdio>

#include "platform/address_text.h"

namespace qxfw::ctl {

NotInstalled::NotInstalled(const std::string& part, const std::string& state,
                           const std::string& where, const std::string& remedy)
    : CommandFailed(part + " " + state + " (" + where + "); run: " + remedy) {}

bool AsksForHelp(const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(),
                     [](const std::string& w) { return w == "--help" || w == "-h"; });
}

Arguments::Arguments(std::vector<std::string> words, const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions) {
  auto listed = [](const std::vector<std::string>& list, const std::string& word) {
    return std::find(list.begin(), list.end(), word) != list.end();
  };
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
      if (listed(flagOptions, word)) {
        flags_.push_back(word);
      } else if (listed(valueOptions, word)) {
        if (i + 1 >= words.size()) throw UsageError("option " + word + " needs a value");
        values_.emplace_back(word, words[++i]);
      } else {
        throw UsageError("unknown option " + word);
      }
      continue;
    }
    positional_.push_back(word);
  }
}

bool Arguments::Flag(const std::string& name) const {
  return std::find(flags_.begin(), flags_.end(), name) != flags_.end();
}

std::optional<std::string> Arguments::Value(const std::string& name) const {
  for (const auto& [key, value] : values_) {
    if (key == name) return value;
  }
  return std::nullopt;
}

void Arguments::Expect(size_t min, size_t max, const char* usage) const {
  if (positional_.size() < min || positional_.size() > max) {
    throw UsageError(std::string("usage: qxfwctl ") + usage);
  }
}

uint32_t ParseNumber(const std::string& text, uint32_t max, const char* what) {
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw UsageError(std::string(what) + " must be a number: '" + text + "'");
  }
  uint64_t value = std::stoull(text);
  if (value > max) {
    throw UsageError(std::string(what) + " must be at most " + std::to_string(max) + ": '" + text +
                     "'");
  }
  return static_cast<uint32_t>(value);
}

uint32_t ParseAddress(const std::string& text, const char* what) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 ||
      b > 255 || c > 255 || d > 255 || !std::all_of(text.begin(), text.end(), [](char ch) {
        return ch == '.' || (ch >= '0' && ch <= '9');
      })) {
    throw UsageError(std::string(what) + " must be a dotted address like 10.0.0.1: '" + text + "'");
  }
  return platform::ParseHostAddress(text.c_str());
}

uint32_t ParseDate(const std::string& text, const char* what) {
  unsigned y, m, d;
  char tail;
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) != 3 ||
      m < 1 || m > 12 || d < 1 || d > 31) {
    throw UsageError(std::string(what) + " must be a date YYYY-MM-DD: '" + text + "'");
  }
  return y * 10000 + m * 100 + d;
}

}  // namespace qxfw::ctl
