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

 private:
  void Separate();
  std::string out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

}  // namespace qxfw::ctl
