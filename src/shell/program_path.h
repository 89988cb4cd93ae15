// Reduction of a command line to the program path it starts.
//
// The well-known program table (app_paths.h) reads command lines from the registry store (the
// default browser's open command, service image paths) and keeps only the program they start,
// so the path can be registered as a program rule. Stateless; thread-safe as long as nobody
// changes the environment concurrently.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qxfw::shell {

// Longest program path a rule or path slot holds (without the terminating zero).
constexpr size_t kMaxProgramPath = 260;

// Longest text that environment expansion may produce.
constexpr size_t kMaxExpandedCommand = 1024;

// Takes the program of a command line: a leading double-quoted text up to the next quote, else
// the text up to the first blank. Environment variables and a leading "~" are expanded, "." and
// ".." resolved, and a bare name without "/" (as desktop entries write "firefox %u") is looked
// up in $PATH; a bare name that $PATH does not hold gives "", since a relative name would be
// read against whatever the current folder is. The result is cut to kMaxProgramPath bytes,
// never inside a UTF-8 sequence.
std::string ReduceToProgramPath(std::string_view commandLine);

// The first executable regular file named name in the folders of $PATH, or "".
std::string FindInSearchPath(std::string_view name);

}  // namespace qxfw::shell
