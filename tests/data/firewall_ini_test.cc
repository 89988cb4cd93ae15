// The shipped language file, read through the real translation reader: every entry of the
// built-in table and every text added beside it is translated, survives the reader, and keeps
// the English text's format specifiers (or "%1" places), line breaks, mnemonics and product
// names.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "store/preferences.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

std::vector<std::string> FormatSpecifiers(const std::string& text) {
  static const std::regex kSpecifier(
      "%[-+ #0]*[0-9*]*(\\.[0-9*]+)?(hh|h|ll|l|z|I64)?[diouxXeEfgGcsSp%]");
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), kSpecifier), end; it != end; ++it) {
    found.push_back(it->str());
  }
  return found;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size())) {
    ++count;
  }
  return count;
}

bool ValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
    }
    i += length;
  }
  return true;
}

class FirewallIniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(QXFW_LANGUAGE_FILE)) << QXFW_LANGUAGE_FILE;
    std::filesystem::copy_file(QXFW_LANGUAGE_FILE, dir_.path() + "/Firewall.ini");
    std::ofstream(dir_.path() + "/UserOpts.ini") << "[Firewall]\nLanguage=1042\n";
    prefs_ = std::make_unique<CPreferences>(dir_.path());
  }

  test_support::TempDir dir_;
  std::unique_ptr<CPreferences> prefs_;
};

TEST_F(FirewallIniTest, SectionIsLongEnoughToBeUsedAndFitsTheReadersBuffer) {
  auto buffer = std::make_unique<char[]>(CPreferences::kTranslationBufferSize);
  uint32_t length =
      platform::IniFile(dir_.path() + "/Firewall.ini")
          .GetSection("Korean-412", buffer.get(), CPreferences::kTranslationBufferSize);
  EXPECT_GT(length, CPreferences::kMinTranslationLength);
  // A section cut short by the buffer would lose its last entries.
  EXPECT_LT(length + 2, CPreferences::kTranslationBufferSize);
}

TEST_F(FirewallIniTest, EveryEntryIsTranslatedOnceAndNonEmpty) {
  std::ifstream in(dir_.path() + "/Firewall.ini");
  std::map<int, int> seen;
  std::string line;
  while (std::getline(in, line)) {
    size_t equal = line.find('=');
    if (line.empty() || line[0] == '[' || equal == std::string::npos) continue;
    int number = std::stoi(line.substr(0, equal));
    EXPECT_FALSE(line.substr(equal + 1).empty()) << "entry " << number;
    ++seen[number];
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kStringCount + kExtraStringCount));
  for (int i = 0; i < kStringCount + kExtraStringCount; ++i) {
    EXPECT_EQ(seen[i], 1) << "entry " << i;
  }
  for (int i = kExtraStringBase; i < kExtraStringBase + kExtraStringCount; ++i) {
    const char* text = prefs_->GetExtraText(i);
    EXPECT_NE(text, kEnglishExtraStrings[i - kExtraStringBase])
        << "entry " << i << " was not taken from the file";
    EXPECT_NE(text[0], '\0') << "entry " << i;
    EXPECT_TRUE(ValidUtf8(text)) << "entry " << i;
  }

  for (int i = 0; i < kStringCount; ++i) {
    const char* text = prefs_->GetText(i);
    // The reader points translated entries into its own buffer, never at the built-in text.
    EXPECT_NE(text, kEnglishStrings[i]) << "entry " << i << " was not taken from the file";
    EXPECT_NE(text[0], '\0') << "entry " << i;
    EXPECT_TRUE(ValidUtf8(text)) << "entry " << i;
  }
}

TEST_F(FirewallIniTest, TranslationsKeepSpecifiersLineBreaksMnemonicsAndProductNames) {
  for (int i = 0; i < kStringCount; ++i) {
    std::string english = kEnglishStrings[i];
    std::string korean = prefs_->GetText(i);
    EXPECT_EQ(FormatSpecifiers(korean), FormatSpecifiers(english)) << "entry " << i;
    // The built-in table writes line breaks as "\n" or "|"; the reader turns "|" into "\n".
    EXPECT_EQ(Count(korean, "\n"), Count(english, "\n") + Count(english, "|")) << "entry " << i;
    EXPECT_EQ(Count(korean, "|"), 0u) << "entry " << i;
    EXPECT_EQ(Count(korean, "&&"), Count(english, "&&")) << "entry " << i;
    for (const char* name : {"Talvoran", "Microsoft"}) {
      EXPECT_EQ(Count(korean, name), Count(english, name)) << "entry " << i << ": " << name;
    }
  }
}

// The places of the added texts, in order of appearance.
std::vector<std::string> Places(const std::string& text) {
  static const std::regex kPlace("%[1-9]");
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), kPlace), end; it != end; ++it) {
    found.push_back(it->str());
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST_F(FirewallIniTest, AddedTextsKeepTheirPlacesAndNames) {
  for (int i = kExtraStringBase; i < kExtraStringBase + kExtraStringCount; ++i) {
    std::string english = kEnglishExtraStrings[i - kExtraStringBase];
    std::string korean = prefs_->GetExtraText(i);
    EXPECT_EQ(Places(korean), Places(english)) << "entry " << i;
    EXPECT_EQ(FormatSpecifiers(korean), FormatSpecifiers(english)) << "entry " << i;
    for (const char* name : {"qxfwsetup /Install", "IP/"}) {
      EXPECT_EQ(Count(korean, name), Count(english, name)) << "entry " << i << ": " << name;
    }
  }
  EXPECT_EQ(Places("%2 of %1, 100%"), (std::vector<std::string>{"%1", "%2"}));
}

TEST_F(FirewallIniTest, SpecifierCheckSeesWhatItCompares) {
  // Guards the comparison above against a pattern that matches nothing.
  EXPECT_EQ(FormatSpecifiers("%s:%d and %5d, 100%%"),
            (std::vector<std::string>{"%s", "%d", "%5d", "%%"}));
}

}  // namespace
}  // namespace qxfw::store
