// Path texts: normalisation of program paths and the "is an executable program" test.
//
// Program paths reach the firewall from /proc, command lines and rules; they are compared as
// texts, so every source normalises them the same way first. Stateless and thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace qxfw::platform {

// For paths a user typed (options, dialogs, rules). Removes a trailing " (deleted)", expands a
// leading "~" to the home folder and $VAR / ${VAR} from the environment (unknown variables
// expand to nothing), and resolves "." and ".." and repeated "/" without touching the disk.
// Relative paths stay relative. The result is cut to limit bytes.
std::string NormalizePath(std::string_view path, size_t limit = 4096);

// Resolves "." and ".." and repeated "/" lexically, nothing else: for paths the kernel reports,
// whose every byte is part of a real name and must never be expanded. Cut to limit bytes.
std::string ResolveDots(std::string_view path, size_t limit = 4096);

// The path without a trailing " (deleted)".
std::string_view WithoutDeletedMark(std::string_view path);

// Expands $VAR and ${VAR} (and a leading "~"); the result is cut to limit bytes.
std::string ExpandEnvironment(std::string_view text, size_t limit = 1024);

// The text after the last "/" (the whole text when there is none).
std::string_view FileNameOf(std::string_view path);

// True for a program extension the firewall treats as executable by name alone (".exe",
// ".com", ".bat", ".cmd", ".scr", ".pif", ".sh", ".run", ".AppImage"), ignoring case.
bool HasProgramExtension(std::string_view path);

// "Is an executable program": a regular file with an execute bit whose content starts with
// the ELF magic or "#!", or whose name has a program extension.
bool IsExecutableProgram(const std::string& path);

}  // namespace qxfw::platform
