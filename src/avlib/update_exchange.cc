#include "avlib/update_exchange.h"

#include <cstdio>

namespace qxfw::avlib {
namespace {

uint8_t Key(size_t i, size_t n) {
  return static_cast<uint8_t>((n * n) % 256 + (i % 128));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

bool StartsWithNoCase(std::string_view text, std::string_view head) {
  return text.size() >= head.size() && EqualsNoCase(text.substr(0, head.size()), head);
}

int Digits(std::string_view text, size_t at, size_t count) {
  int value = 0;
  for (size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

}  // namespace

std::string EncodeExchange(std::string_view plain) {
  std::string out;
  out.reserve(plain.size() * 2);
  for (size_t i = 0; i < plain.size(); ++i) {
    uint8_t e = static_cast<uint8_t>(static_cast<uint8_t>(plain[i]) + Key(i, plain.size()));
    out.push_back(static_cast<char>('a' + (e >> 4)));
    out.push_back(static_cast<char>('a' + (e & 15)));
  }
  return out;
}

std::string DecodeExchange(std::string_view letters) {
  size_t usable = 0;
  while (usable < letters.size() && letters[usable] >= 'a' && letters[usable] <= 'p') ++usable;
  const size_t m = usable / 2;
  std::string out;
  out.reserve(m);
  for (size_t i = 0; i < m; ++i) {
    int value = 16 * (letters[2 * i] - 'a') + (letters[2 * i + 1] - 'a');
    out.push_back(static_cast<char>(static_cast<uint8_t>(value - Key(i, m))));
  }
  return out;
}

bool VersionWordIsSafe(std::string_view word) {
  if (word.empty() || word.size() > kMaxVersionWord || word == "." || word == "..") return false;
  for (unsigned char c : word) {
    if (c < 0x20 || c == 0x7f || c == ';' || c == ']' || c == '/' || c == '\\') return false;
  }
  return true;
}

AnswerKind ParseServerAnswer(std::string_view plain, ServerAnswer* answer) {
  if (plain.substr(0, 2) != "EA") return AnswerKind::kNotAnAnswer;
  std::string_view rest = plain.substr(2);
  // Servers write the record with or without a ";" after "EA".
  if (!rest.empty() && rest.front() == ';') rest.remove_prefix(1);
  size_t first = rest.find(';');
  if (first == std::string_view::npos) return AnswerKind::kMalformed;
  size_t second = rest.find(';', first + 1);
  if (second == std::string_view::npos) return AnswerKind::kMalformed;
  std::string_view high = rest.substr(0, first);
  std::string_view low = rest.substr(first + 1, second - first - 1);
  std::string_view base = rest.substr(second + 1);
  while (!base.empty() && (base.back() == '\0' || base.back() == '\r' || base.back() == '\n'))
    base.remove_suffix(1);
  if (!VersionWordIsSafe(high) || !VersionWordIsSafe(low)) return AnswerKind::kMalformed;
  if (!StartsWithNoCase(base, "http://") && !StartsWithNoCase(base, "https://"))
    return AnswerKind::kMalformed;
  for (unsigned char c : base) {
    if (c <= 0x20 || c == 0x7f) return AnswerKind::kMalformed;
  }
  answer->high.assign(high);
  answer->low.assign(low);
  answer->base.assign(base);
  return AnswerKind::kAnswer;
}

bool ParseListStamp(std::string_view digits, time_t* stamp) {
  if (digits.size() != 14) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  tm t{};
  t.tm_sec = Digits(digits, 0, 2);
  t.tm_min = Digits(digits, 2, 2);
  t.tm_hour = Digits(digits, 4, 2);
  t.tm_mday = Digits(digits, 6, 2);
  t.tm_mon = Digits(digits, 8, 2) - 1;
  t.tm_year = Digits(digits, 10, 4) - 1900;
  t.tm_isdst = -1;
  if (t.tm_sec > 60 || t.tm_min > 59 || t.tm_hour > 23 || t.tm_mday < 1 || t.tm_mday > 31 ||
      t.tm_mon < 0 || t.tm_mon > 11 || t.tm_year < 70)
    return false;
  *stamp = mktime(&t);
  return *stamp != static_cast<time_t>(-1);
}

std::string FormatListStamp(time_t stamp) {
  tm t{};
  localtime_r(&stamp, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%04d", t.tm_sec, t.tm_min, t.tm_hour,
                t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
  return text;
}

ListLine ParseListLine(std::string_view line, ListEntry* entry) {
  if (line.empty()) return ListLine::kEnd;
  unsigned char first = static_cast<unsigned char>(line.front());
  if (first == ' ' || first == '\b' || (first >= '\t' && first <= '\r')) return ListLine::kEnd;
  size_t a = line.find(',');
  if (a == std::string_view::npos) return ListLine::kEnd;
  size_t b = line.find(',', a + 1);
  if (b == std::string_view::npos) return ListLine::kEnd;
  std::string_view stamp = line.substr(0, a);
  std::string_view name = line.substr(a + 1, b - a - 1);
  std::string_view size = line.substr(b + 1);
  while (!size.empty() && (size.back() == '\r' || size.back() == ' ')) size.remove_suffix(1);
  if (!ParseListStamp(stamp, &entry->stamp) || size.empty() || size.size() > 15)
    return ListLine::kSkip;
  uint64_t bytes = 0;
  for (char c : size) {
    if (c < '0' || c > '9') return ListLine::kSkip;
    bytes = bytes * 10 + static_cast<uint64_t>(c - '0');
  }
  entry->name.assign(name);
  entry->size = bytes;
  return ListLine::kEntry;
}

bool ListedNameIsSafe(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

bool UpdateAcceptsName(std::string_view name, bool basic) {
  if (EndsWithNoCase(name, ".vdb")) return true;
  for (const char* always : {"Dvengine32.dll", "Dvenginekrn.dll", "Dvbase.vdb", "vdbinfo.txt",
                             "Recovery.exe", "Kavlo.dll", "dvscan.ini"}) {
    if (EqualsNoCase(name, always)) return true;
  }
  if (basic) return false;
  return EqualsNoCase(name, "Knlscan.exe") || StartsWithNoCase(name, "Language.");
}

std::string LocalUpdateName(std::string_view name) {
  static constexpr const char* kMap[][2] = {
      {"Dvengine32.dll", "libdvengine32.so"},
      {"Dvenginekrn.dll", "libdvenginekrn.so"},
      {"Kavlo.dll", "libqxav.so"},
      {"Recovery.exe", "recovery"},
      {"Knlscan.exe", "knlscan"},
  };
  for (const auto& pair : kMap) {
    if (EqualsNoCase(name, pair[0])) return pair[1];
  }
  return std::string(name);
}

}  // namespace qxfw::avlib
