#include "store/user_language.h"

#include <cstdlib>
#include <string>

namespace qxfw::store {
namespace {

struct LocaleLanguage {
  const char* locale;
  uint16_t language;
};

// The first entry of each language is its primary country, used for a bare language code.
constexpr LocaleLanguage kLanguages[] = {
    {"en_US", 1033}, {"en_GB", 2057}, {"en_AU", 3081},  {"en_CA", 4105},  {"en_NZ", 5129},
    {"en_IE", 6153}, {"en_ZA", 7177}, {"en_IN", 16393}, {"ko_KR", 1042},  {"de_DE", 1031},
    {"de_AT", 3079}, {"de_CH", 2055}, {"fr_FR", 1036},  {"fr_BE", 2060},  {"fr_CA", 3084},
    {"fr_CH", 4108}, {"ja_JP", 1041}, {"zh_CN", 2052},  {"zh_TW", 1028},  {"zh_HK", 3076},
    {"zh_SG", 4100}, {"es_ES", 3082}, {"es_MX", 2058},  {"es_AR", 11274}, {"it_IT", 1040},
    {"it_CH", 2064}, {"ru_RU", 1049}, {"pt_PT", 2070},  {"pt_BR", 1046},  {"nl_NL", 1043},
    {"nl_BE", 2067}, {"sv_SE", 1053}, {"da_DK", 1030},  {"nb_NO", 1044},  {"nn_NO", 2068},
    {"fi_FI", 1035}, {"pl_PL", 1045}, {"cs_CZ", 1029},  {"sk_SK", 1051},  {"hu_HU", 1038},
    {"tr_TR", 1055}, {"el_GR", 1032}, {"he_IL", 1037},  {"ar_SA", 1025},  {"ar_EG", 3073},
    {"th_TH", 1054}, {"vi_VN", 1066}, {"id_ID", 1057},  {"ms_MY", 1086},  {"uk_UA", 1058},
    {"ro_RO", 1048}, {"bg_BG", 1026}, {"hr_HR", 1050},  {"sl_SI", 1060},  {"sr_RS", 9242},
    {"lt_LT", 1063}, {"lv_LV", 1062}, {"et_EE", 1061},  {"ca_ES", 1027},  {"hi_IN", 1081},
    {"fa_IR", 1065},
};

}  // namespace

uint16_t LanguageFromLocale(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.size() == 5 && locale[2] == '_') {
    for (const LocaleLanguage& entry : kLanguages) {
      if (locale == entry.locale) return entry.language;
    }
  }
  std::string_view bare = locale.substr(0, locale.find('_'));
  if (bare.size() == 2) {
    for (const LocaleLanguage& entry : kLanguages) {
      if (bare == std::string_view(entry.locale, 2)) return entry.language;
    }
  }
  return kLanguageEnglishUs;
}

uint16_t UserDefaultLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return LanguageFromLocale(value);
  }
  return kLanguageEnglishUs;
}

}  // namespace qxfw::store
