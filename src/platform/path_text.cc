#include "platform/path_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#include "platform/file.h"
#include "platform/folders.h"
#include "platform/text_compare.h"

namespace qxfw::platform {
namespace {

constexpr std::string_view kDeletedMark = " (deleted)";

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string Cut(std::string text, size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

}  // namespace

std::string ExpandEnvironment(std::string_view text, size_t limit) {
  std::string out;
  size_t i = 0;
  if (!text.empty() && text[0] == '~' && (text.size() == 1 || text[1] == '/')) {
    out = HomeFolder();
    i = 1;
  }
  while (i < text.size() && out.size() < limit) {
    char c = text[i];
    if (c != '$' || i + 1 >= text.size()) {
      out += c;
      ++i;
      continue;
    }
    std::string name;
    size_t next = i + 1;
    if (text[next] == '{') {
      size_t close = text.find('}', next + 1);
      if (close == std::string_view::npos) {
        out += c;
        ++i;
        continue;
      }
      name = std::string(text.substr(next + 1, close - next - 1));
      next = close + 1;
    } else {
      while (next < text.size() && IsNameChar(text[next])) name += text[next++];
      if (name.empty()) {
        out += c;
        ++i;
        continue;
      }
    }
    if (const char* value = std::getenv(name.c_str())) out += value;
    i = next;
  }
  return Cut(std::move(out), limit);
}

std::string_view WithoutDeletedMark(std::string_view path) {
  if (path.size() >= kDeletedMark.size() &&
      path.substr(path.size() - kDeletedMark.size()) == kDeletedMark) {
    path.remove_suffix(kDeletedMark.size());
  }
  return path;
}

std::string NormalizePath(std::string_view path, size_t limit) {
  return ResolveDots(ExpandEnvironment(WithoutDeletedMark(path), limit), limit);
}

std::string ResolveDots(std::string_view expanded, size_t limit) {
  bool absolute = !expanded.empty() && expanded[0] == '/';
  std::vector<std::string_view> parts;
  std::string_view rest(expanded);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);
      }
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  if (absolute) out.push_back('/');
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out += '/';
    out += parts[k];
  }
  if (out.empty() && !expanded.empty()) out.push_back('.');
  return Cut(std::move(out), limit);
}

std::string_view FileNameOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool HasProgramExtension(std::string_view path) {
  static constexpr std::string_view kExtensions[] = {".exe", ".com", ".bat", ".cmd",     ".scr",
                                                     ".pif", ".sh",  ".run", ".appimage"};
  std::string_view name = FileNameOf(path);
  for (std::string_view ext : kExtensions) {
    if (name.size() > ext.size() && EqualNoCase(name.substr(name.size() - ext.size()), ext)) {
      return true;
    }
  }
  return false;
}

bool IsExecutableProgram(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (HasProgramExtension(path)) return true;
  if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) return false;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) return false;
  unsigned char magic[4] = {};
  ssize_t n = ::read(fd.Get(), magic, sizeof(magic));
  if (n >= 2 && magic[0] == '#' && magic[1] == '!') return true;
  return n == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

}  // namespace qxfw::platform
