#include "shell/program_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/path_text.h"

namespace qxfw::shell {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The first word of a command line, quotes removed.
std::string_view FirstWord(std::string_view line) {
  if (!line.empty() && line.front() == '"') {
    line.remove_prefix(1);
    return line.substr(0, line.find('"'));
  }
  size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  return line.substr(0, end);
}

// Cuts text to at most limit bytes without leaving half a UTF-8 sequence at its end.
void CutUtf8(std::string* text, size_t limit) {
  if (text->size() <= limit) return;
  size_t end = limit;
  for (int back = 0; back < 3 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80;
       ++back) {
    --end;
  }
  text->resize(end);
}

}  // namespace

std::string FindInSearchPath(std::string_view name) {
  const char* search = std::getenv("PATH");
  if (name.empty() || search == nullptr) return {};
  std::string_view folders(search);
  while (true) {
    size_t colon = folders.find(':');
    std::string_view folder = folders.substr(0, colon);
    // An empty entry means the current folder; it is not searched for the same reason a
    // bare name is not taken relative.
    if (!folder.empty()) {
      std::string candidate(folder);
      candidate += '/';
      candidate += name;
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) return {};
    folders.remove_prefix(colon + 1);
  }
}

std::string ReduceToProgramPath(std::string_view commandLine) {
  std::string path = platform::NormalizePath(FirstWord(commandLine), kMaxExpandedCommand);
  if (!path.empty() && path.find('/') == std::string::npos) {
    std::string found = FindInSearchPath(path);
    path = found.empty() ? std::string() : platform::NormalizePath(found, kMaxExpandedCommand);
  }
  CutUtf8(&path, kMaxProgramPath);
  return path;
}

}  // namespace qxfw::shell
