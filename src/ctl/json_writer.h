// A small JSON writer for qxfwctl's --json output: objects, arrays, strings, numbers and
// booleans written in order, with strings escaped. Not thread-safe; one per output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qxfw::ctl {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // Shorthands for a key and its value.
  JsonWriter& Field(std::string_view key, std::string_view value) { return Key(key).String(value); }
  JsonWriter& Field(std::string_view key, const char* value) { return Key(key).String(value); }
  JsonWriter& Field(std::string_view key, int64_t value) { return Key(key).Number(value); }
  JsonWriter& Field(std::string_view key, bool value) { return Key(key).Bool(value); }

  const std::string& Text() const { return out_; }

  // The JSON form of a text (with quotes). Bytes that are not valid UTF-8 become U+FFFD.
  static std::string Quote(std::string_view text);
  // Whether text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
  static bool IsValidUtf8(std::string_view text);

 private:
  void Separate();
  std::string out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

// A name, path or answer from outside made safe for a terminal: control bytes (C0, DEL, C1)
// and bytes that are not valid UTF-8 become "?", as ps shows them, so nothing reaches the
// terminal as an escape sequence and a newline never splits a row. keepLines keeps newlines
// and tabs (a multi-line answer).
std::string TerminalText(std::string_view text, bool keepLines = false);

}  // namespace qxfw::ctl
