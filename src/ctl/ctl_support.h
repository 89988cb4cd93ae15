// Shared pieces of qxfwctl's commands: errors, strict argument parsing, option scanning.
//
// A command reports bad input by throwing UsageError (exit 2), a part of the product that is
// not installed or not running by throwing NotInstalled (exit 2), and a failed operation by
// throwing CommandFailed (exit 1); main prints the one-line message. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qxfw::ctl {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct CommandFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// What the command needs is missing; the message names it and the command that fixes it.
struct NotInstalled : CommandFailed {
  // part: "the antivirus library"; state: "is not installed"; where: the path looked at;
  // remedy: the command that installs or starts it ("qxfwsetup /Install").
  NotInstalled(const std::string& part, const std::string& state, const std::string& where,
               const std::string& remedy);
};

// Whether words ask for help: "--help" or "-h" anywhere among them.
bool AsksForHelp(const std::vector<std::string>& words);

// The words after the command name, with "--json" and "--name VALUE" options taken out.
class Arguments {
 public:
  // valueOptions: options that take a value ("--from"); flagOptions: options without one.
  Arguments(std::vector<std::string> words, const std::vector<std::string>& valueOptions,
            const std::vector<std::string>& flagOptions);

  const std::vector<std::string>& Positional() const { return positional_; }
  bool Flag(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
  // Throws UsageError unless the number of positional words is in [min, max].
  void Expect(size_t min, size_t max, const char* usage) const;

 private:
  std::vector<std::string> positional_;
  std::vector<std::string> flags_;
  std::vector<std::pair<std::string, std::string>> values_;
};

// A decimal number in [0, max]; throws UsageError naming what on anything else.
uint32_t ParseNumber(const std::string& text, uint32_t max, const char* what);
// A dotted quad "a.b.c.d" with parts 0-255; throws UsageError otherwise.
uint32_t ParseAddress(const std::string& text, const char* what);
// "YYYY-MM-DD" as a sortable number YYYYMMDD; throws UsageError otherwise.
uint32_t ParseDate(const std::string& text, const char* what);

}  // namespace qxfw::ctl
