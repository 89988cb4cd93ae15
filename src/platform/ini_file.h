// INI files read and written with the semantics of the classic profile functions, for the
// preferences ("UserOpts.ini", "Firewall.ini") and the antivirus library's settings files.
//
//   - Section and key names compare without regard to ASCII case; the first matching section
//     and, inside it, the first matching key win. Blanks around names and values are ignored.
//   - Lines whose first non-blank character is ";" are comments: never returned, always kept.
//   - A missing file, section or key gives the caller's default; a file larger than
//     kMaxIniFileSize is treated as missing (with a debug line) and is never rewritten.
//   - Every call reads the file afresh. Writes keep every other line as it was (and the file's
//     CR LF or LF line ends), are serialised between processes by an flock on the folder,
//     and replace the file atomically (temporary file + rename).
// An IniFile holds only its path; calls from several threads are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qxfw::platform {

inline constexpr size_t kMaxIniFileSize = 1u << 20;

struct IniEntry {
  std::string section;
  std::string key;
  std::string value;
};

class IniFile {
 public:
  explicit IniFile(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // The key's value read as an integer: blanks, an optional sign, then the leading decimal
  // digits ("0x" introduces hexadecimal digits); a value without digits gives 0. The default
  // is returned only when the key is missing. Values beyond 32 bits wrap, as the profile
  // functions do.
  int GetInt(std::string_view section, std::string_view key, int default_value) const;

  // The key's value with one pair of enclosing quotes (" or ') removed, or the default.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view default_value) const;

  // Buffer form of GetString: copies at most size - 1 characters and a terminating zero and
  // returns the number of characters copied (without the zero). size 0 copies nothing.
  uint32_t GetString(std::string_view section, std::string_view key, const char* default_value,
                     char* buffer, uint32_t size) const;

  // Copies the first matching section into buffer as zero-terminated lines followed by one
  // more zero: "key=value" for key lines (blanks around key and value removed), other
  // non-comment lines as they stand (trimmed). Returns the characters copied, counting each
  // line's zero but not the final one. When the lines do not fit, buffer holds the first
  // size - 2 characters of that text (the last line cut where the buffer ends) followed by
  // two zeros, and the result is size - 2. A missing file or section gives 0 and an empty
  // list (two zeros when size >= 2).
  uint32_t GetSection(std::string_view section, char* buffer, uint32_t size) const;

  // The names of all sections, in file order.
  std::vector<std::string> GetSectionNames() const;

  // Sets key=value in section, adding the section (at the end) and the key (after the last
  // line of the section) when missing, and creating the file when needed. False when the
  // file cannot be read or written, or when a name or the value would break the line format
  // (line breaks, "]" in a section name, "=" in a key, empty names).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  bool WriteInt(std::string_view section, std::string_view key, int value);
  // Sets every entry, in order, as WriteString would, and replaces the file once. Nothing is
  // written when any entry is refused.
  bool WriteEntries(const std::vector<IniEntry>& entries);
  // Removes the key's line; true when the key is gone afterwards (also when it never was).
  bool DeleteKey(std::string_view section, std::string_view key);
  // Removes the section's header and every line up to the next section.
  bool DeleteSection(std::string_view section);

 private:
  std::string path_;
};

}  // namespace qxfw::platform
