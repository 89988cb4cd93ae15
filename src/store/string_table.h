// The built-in English user-interface string table: 213 texts numbered 0 to 212.
//
// Every screen, dialog and message box takes its texts from CPreferences::GetText, which
// starts from this table and lets a translation section of "Firewall.ini" replace entries.
// Constant data; safe from any thread.
#pragma once

namespace qxfw::store {

inline constexpr int kStringCount = 213;

extern const char* const kEnglishStrings[kStringCount];

}  // namespace qxfw::store
