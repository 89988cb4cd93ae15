// The signature update exchange (docs/formats/update_exchange.md): the letter encoding of the
// TCP question and answer, the server's answer record, the file-list lines and the names an
// update may bring. Pure functions over bytes, shared by the update client and the reference
// server; safe from any thread.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace qxfw::avlib {

inline constexpr const char* kUpdateQuestion = "EQVISION";
inline constexpr size_t kMaxAnswerBytes = 511;  // a longer answer is cut there
inline constexpr size_t kMaxVersionWord = 15;
inline constexpr size_t kMaxListLine = 511;  // lines this long or longer are discarded whole
inline constexpr uint16_t kUpdatePortPrimary = 3939;
inline constexpr uint16_t kUpdatePortAlternate = 80;
inline constexpr const char* kListPage = "filesys.htm";

// Each byte as two letters "a".."p" (see the format document).
std::string EncodeExchange(std::string_view plain);
// Decodes letters; characters outside "a".."p" end the text, an odd last letter is ignored.
std::string DecodeExchange(std::string_view letters);

struct ServerAnswer {
  std::string high;  // version word of the program files
  std::string low;   // version word of the signature files
  std::string base;  // download area, an http or https address
};

// A version word may go into the INI file and into addresses: 1 to 15 characters, none of
// ";", "]", "/", "\\", line breaks or other control characters, and not "." or "..".
bool VersionWordIsSafe(std::string_view word);

enum class AnswerKind { kAnswer, kNotAnAnswer, kMalformed };
// Reads a decoded answer "EA" [";"] high ";" low ";" base. kNotAnAnswer when it does not begin
// with "EA"; kMalformed when a field is missing, a word is unsafe or the base is not http(s).
AnswerKind ParseServerAnswer(std::string_view plain, ServerAnswer* answer);

struct ListEntry {
  time_t stamp = 0;  // local time of the file
  std::string name;
  uint64_t size = 0;
};

enum class ListLine { kEntry, kEnd, kSkip };
// One list line (line break removed). kEnd for the list-end rules; kSkip for a line whose
// time stamp, name or size cannot be used (the caller goes on with the next line).
ListLine ParseListLine(std::string_view line, ListEntry* entry);

// "ssmmhhDDMMYYYY" as local time; false when it is not 14 digits of a real date.
bool ParseListStamp(std::string_view digits, time_t* stamp);
// The reverse, for the reference server.
std::string FormatListStamp(time_t stamp);

// A listed name that may become a file in the engine folder: no "/", "\\", "..", NUL, leading
// "." or control characters, at most 255 bytes.
bool ListedNameIsSafe(std::string_view name);
// Whether an update takes the name (case-insensitive), in normal or basic mode.
bool UpdateAcceptsName(std::string_view name, bool basic);
// The file name on this platform ("Dvengine32.dll" is "libdvengine32.so", ...).
std::string LocalUpdateName(std::string_view name);

}  // namespace qxfw::avlib
