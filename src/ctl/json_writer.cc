#include "ctl/json_writer.h"

#include <cstdint>
#include <cstdio>

namespace qxfw::ctl {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not valid: a lone
// continuation byte, C0/C1 and F5-FF, an overlong form, a surrogate (U+D800-DFFF), a code
// point above U+10FFFF, or a sequence cut short.
size_t Utf8Length(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  uint32_t point;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    point = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    point = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    point = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[n] || point > 0x10FFFF) return 0;
  if (point >= 0xD800 && point <= 0xDFFF) return 0;
  return n;
}

}  // namespace

bool JsonWriter::IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8Length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string TerminalText(std::string_view text, bool keepLines) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8Length(text, i);
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool lineByte = keepLines && (c == '\n' || c == '\t');
    if (n == 0 || (n == 1 && !lineByte && (c < 0x20 || c == 0x7F))) {
      out += '?';
      ++i;
      continue;
    }
    // C1 controls (U+0080-U+009F) start escape sequences on some terminals too.
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      out += '?';
      i += 2;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string JsonWriter::Quote(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buffer[8];
          std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

void JsonWriter::Separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
}

JsonWriter& JsonWriter::BeginObject() {
  Separate();
  out_ += '{';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  out_ += '}';
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Separate();
  out_ += '[';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  out_ += ']';
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  Separate();
  out_ += Quote(key);
  out_ += ':';
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  Separate();
  out_ += Quote(value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  Separate();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  Separate();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Separate();
  out_ += "null";
  return *this;
}

}  // namespace qxfw::ctl
