// The user's default language as a Windows language identifier, taken from the locale.
//
// CPreferences uses it when "UserOpts.ini" names no language. The locale is the first
// non-empty of $LC_ALL, $LC_MESSAGES and $LANG; "ko_KR.UTF-8" gives 1042, "en_US" 1033, a bare
// language ("de") its primary country, and "C", "POSIX" or anything unknown 1033. Reads the
// environment on every call.
#pragma once

#include <cstdint>
#include <string_view>

namespace qxfw::store {

inline constexpr uint16_t kLanguageEnglishUs = 1033;  // 0x409
inline constexpr uint16_t kLanguageKorean = 1042;     // 0x412

// The identifier for one locale name ("ll", "ll_CC", with any ".codeset" or "@modifier").
uint16_t LanguageFromLocale(std::string_view locale);

uint16_t UserDefaultLanguage();

}  // namespace qxfw::store
