// The built-in English user-interface string table: 213 texts numbered 0 to 212, and the
// texts added beside it, numbered from 213 on (the home page's state and the tray tip, the
// message about a damaged rule store).
//
// Every screen, dialog and message box takes its texts from CPreferences::GetText (the table)
// or GetExtraText (the added texts), which start from these and let a translation section of
// "Firewall.ini" replace entries; the added texts are translated in the same section under
// their own numbers. Texts with "%1", "%2", ... are filled by FillText, never by printf, so a
// translation cannot make a format out of them. Constant data; safe from any thread.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace qxfw::store {

inline constexpr int kStringCount = 213;

extern const char* const kEnglishStrings[kStringCount];

inline constexpr int kExtraStringBase = kStringCount;
inline constexpr int kExtraStringCount = 43;
// Numbers kExtraStringBase .. kExtraStringBase + kExtraStringCount - 1.
extern const char* const kEnglishExtraStrings[kExtraStringCount];

// text with "%1" .. "%9" replaced by the arguments of that place (a place with no argument
// becomes empty) and "%%" by "%"; any other "%" is kept as it is.
std::string FillText(std::string_view text, std::initializer_list<std::string_view> args);

}  // namespace qxfw::store
