// Splitting texts into pieces: search paths, desktop-entry lists, rule items.
//
// Used by the platform facts, the monitor's program lookups and the rule texts of the store.
// Stateless and thread-safe; the pieces point into the text, which must outlive them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qxfw::platform {

// The pieces of text between separators, in order; empty pieces (two separators in a row, one
// at either end) are skipped, so "a::b:" gives {"a", "b"}.
std::vector<std::string_view> SplitNonEmpty(std::string_view text, char separator);

// A program's option text: its arguments (not the program path, argv[0]) joined by blanks.
std::string JoinArguments(int argc, const char* const* argv);

}  // namespace qxfw::platform
