#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "store/preferences.h"
#include "store/user_language.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

using test_support::ScopedEnv;
using test_support::TempDir;

class PreferencesTest : public ::testing::Test {
 protected:
  void WriteIni(const std::string& name, const std::string& text) {
    std::ofstream(dir_.path() + "/" + name, std::ios::binary) << text;
  }
  void WriteUserOpts(const std::string& text) { WriteIni("UserOpts.ini", text); }
  void WriteFirewallIni(const std::string& text) { WriteIni("Firewall.ini", text); }

  // A section body whose text as read back (each "key=value" line plus its zero) is exactly
  // length characters: the given lines, then filler lines for entry 0.
  static std::string SectionOfLength(const std::string& lines, size_t length) {
    size_t used = 0;
    for (size_t start = 0; start < lines.size();) {
      size_t end = lines.find('\n', start);
      used += end - start + 1;
      start = end + 1;
    }
    std::string body = lines;
    while (used < length) {
      size_t left = length - used;
      size_t take = left > 500 ? 400 : left;  // each filler line costs its text + 3
      if (take < 4) take = 4;
      if (left - take != 0 && left - take < 4) take = left - 4;
      body += "0=" + std::string(take - 3, 'f') + "\n";
      used += take;
    }
    EXPECT_EQ(used, length);
    return body;
  }

  TempDir dir_;
  ScopedEnv lc_all_{"LC_ALL", "en_US.UTF-8"};
};

TEST_F(PreferencesTest, DefaultsWithoutSettingsFile) {
  platform::ScopedDebugCapture capture;
  CPreferences prefs(dir_.path());
  const WindowRect& rect = prefs.GetWindowRect();
  EXPECT_EQ(rect.left, 100);
  EXPECT_EQ(rect.top, 100);
  EXPECT_EQ(rect.right, 715);
  EXPECT_EQ(rect.bottom, 545);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 0), 140);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 1), 250);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 2), 70);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 3), 0);
  EXPECT_EQ(prefs.GetColumnWidth(kPortListView, 5), 70);
  EXPECT_EQ(prefs.GetColumnWidth(kProcessDlgListView, 1), 30);
  EXPECT_EQ(prefs.GetColumnWidth(7, 0), 0);
  EXPECT_EQ(prefs.GetColumnWidth(0, 6), 0);
  EXPECT_EQ(prefs.GetColumnWidth(-1, 0), 0);
  EXPECT_EQ(prefs.GetLanguage(), 1033);
  EXPECT_TRUE(capture.Contains("[QXFW.exe] Firewall.ini Path : " + dir_.path() + "/Firewall.ini"));
  EXPECT_TRUE(capture.Contains("[QXFW.exe] Language : English (United States)"));
  EXPECT_STREQ(prefs.GetText(1), "Home");
  EXPECT_STREQ(prefs.GetText(53),
               "Firewall blocked the following program which is trying to access network.|It may "
               "be dangerous to allow unauthorized program to access network.");
  EXPECT_STREQ(prefs.GetText(153),
               "- Block backgoors.\n- Allow if porcess iff published by Microsoft.\n- Monitor all "
               "applications.\n- Log all activities.");
  EXPECT_STREQ(prefs.GetText(212), "Unknow");
  EXPECT_STREQ(prefs.GetText(213), "Unknow");
  EXPECT_STREQ(prefs.GetText(1000), "Unknow");
  EXPECT_STREQ(prefs.GetText(-1), "Unknow");
}

TEST_F(PreferencesTest, StoredWidthsReplaceDefaultsOnlyAboveTen) {
  WriteUserOpts(
      "[Firewall]\nLanguage=1033\n"
      "[MainWindow]\nLeft=-20\nTop=30\nRight=900\nBottom=700\n"
      "[ProgramListView]\nColumn0=10\nColumn1=8\nColumn2=11\n"
      "[portlistview]\ncolumn5=300\nColumn4=abc\nColumn3=70000\n");
  CPreferences prefs(dir_.path());
  EXPECT_EQ(prefs.GetWindowRect().left, -20);
  EXPECT_EQ(prefs.GetWindowRect().bottom, 700);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 0), 140);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 1), 250);
  EXPECT_EQ(prefs.GetColumnWidth(kProgramListView, 2), 11);
  EXPECT_EQ(prefs.GetColumnWidth(kPortListView, 5), 300);
  EXPECT_EQ(prefs.GetColumnWidth(kPortListView, 4), 100);
  EXPECT_EQ(prefs.GetColumnWidth(kPortListView, 3), 100);
}

TEST_F(PreferencesTest, SaveWritesEveryKeyInOrderAndReadsBack) {
  CPreferences prefs(dir_.path());
  prefs.SetWindowRect({5, 6, 705, 606});
  prefs.SetColumnWidth(kLogListView2, 3, 123);
  prefs.SetColumnWidth(9, 0, 55);  // outside the table: ignored
  ASSERT_TRUE(prefs.Save());

  std::string text;
  ASSERT_TRUE(platform::ReadWholeFile(dir_.path() + "/UserOpts.ini", &text));
  const std::string head =
      "[Firewall]\nLanguage=1033\n\n[MainWindow]\nLeft=5\nTop=6\nRight=705\nBottom=606\n\n"
      "[NetworkListView]\nColumn0=130\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find("[LogListView2]\nColumn0=75\nColumn1=100\nColumn2=150\nColumn3=123\n"
                      "Column4=75\nColumn5=0\n"),
            std::string::npos);
  EXPECT_LT(text.find("[NetworkListView]"), text.find("[ProgramListView]"));
  EXPECT_LT(text.find("[LogListView2]"), text.find("[ProcessDlgListView]"));

  CPreferences again(dir_.path());
  EXPECT_EQ(again.GetWindowRect().left, 5);
  EXPECT_EQ(again.GetWindowRect().bottom, 606);
  EXPECT_EQ(again.GetColumnWidth(kLogListView2, 3), 123);
  EXPECT_EQ(again.GetColumnWidth(kNetworkListView, 0), 130);

  CPreferences nowhere(dir_.path() + "/missing-folder");
  EXPECT_FALSE(nowhere.Save());
}

TEST_F(PreferencesTest, TranslationSectionMustBeLongerThan852Characters) {
  WriteUserOpts("[Firewall]\nLanguage=1042\n");
  const std::string lines = "1=Korean Home\n53=Line one|Line two\n300=ignored\n5=\n";
  WriteFirewallIni("[Korean-412]\n" + SectionOfLength(lines, 852));
  {
    platform::ScopedDebugCapture capture;
    CPreferences prefs(dir_.path());
    EXPECT_EQ(prefs.GetLanguage(), 1042);
    EXPECT_TRUE(capture.Contains("[QXFW.exe] Language : Korean"));
    EXPECT_STREQ(prefs.GetText(1), "Home");
  }
  WriteFirewallIni("[Korean-412]\n" + SectionOfLength(lines, 853));
  CPreferences prefs(dir_.path());
  EXPECT_STREQ(prefs.GetText(1), "Korean Home");
  EXPECT_STREQ(prefs.GetText(53), "Line one\nLine two");
  EXPECT_STREQ(prefs.GetText(5), "Log");
  EXPECT_STREQ(prefs.GetText(212), "Unknow");
  EXPECT_EQ(std::string(prefs.GetText(0)).find_first_not_of('f'), std::string::npos);
}

TEST_F(PreferencesTest, TextsBesideTheTableHaveTheirOwnNumbersAndTranslations) {
  WriteUserOpts("[Firewall]\nLanguage=1042\n");
  CPreferences english(dir_.path());
  // The table keeps its bounds; the added texts start at 213.
  EXPECT_STREQ(english.GetText(213), "Unknow");
  EXPECT_STREQ(english.GetExtraText(213), "You are protected");
  EXPECT_STREQ(english.GetExtraText(248), "Change");
  EXPECT_STREQ(english.GetExtraText(249), "The rule store was damaged");
  EXPECT_STREQ(english.GetExtraText(256), "Unknow");
  EXPECT_STREQ(english.GetExtraText(212), "Unknow");
  WriteFirewallIni("[Korean-412]\n" + SectionOfLength("1=Korean Home\n214=Not|safe\n248=Edit\n"
                                                      "256=past the end\n",
                                                      900));
  CPreferences prefs(dir_.path());
  EXPECT_STREQ(prefs.GetText(1), "Korean Home");
  EXPECT_STREQ(prefs.GetExtraText(214), "Not\nsafe");
  EXPECT_STREQ(prefs.GetExtraText(248), "Edit");
  EXPECT_STREQ(prefs.GetExtraText(213), "You are protected");
  EXPECT_STREQ(prefs.GetExtraText(256), "Unknow");
}

TEST(FillText, PlacesTakeTheirArgumentsAndNothingElseIsAFormat) {
  EXPECT_EQ(FillText("%2 of %1", {"a", "b"}), "b of a");
  EXPECT_EQ(FillText("%1%% %s %d %", {"50"}), "50% %s %d %");
  EXPECT_EQ(FillText("%3 missing", {"a"}), " missing");
  EXPECT_EQ(FillText("no places", {}), "no places");
}

TEST_F(PreferencesTest, MalformedEntryNumbersChangeNothing) {
  WriteUserOpts("[Firewall]\nLanguage=1033\n");
  WriteFirewallIni("[English-409]\n" +
                   SectionOfLength("-1=negative\nabc=letters\n2x=mixed\n=empty key\n"
                                   "no equal sign\n99999999999=huge\n212=Unknown\n",
                                   2000));
  CPreferences prefs(dir_.path());
  EXPECT_STREQ(prefs.GetText(212), "Unknown");
  EXPECT_STREQ(prefs.GetText(2), "Program");
  EXPECT_STREQ(prefs.GetText(211), "Cure All");
}

TEST_F(PreferencesTest, OtherLanguagesReadTheCurrentSection) {
  WriteUserOpts("[Firewall]\nLanguage=2052\n");
  WriteFirewallIni("[Korean-412]\n" + SectionOfLength("1=wrong\n", 900) + "[Current-804]\n" +
                   SectionOfLength("1=Zhu Ye\n", 900));
  platform::ScopedDebugCapture capture;
  CPreferences prefs(dir_.path());
  EXPECT_EQ(prefs.GetLanguage(), 2052);
  EXPECT_TRUE(capture.Contains("[QXFW.exe] Language : Default Language"));
  EXPECT_STREQ(prefs.GetText(1), "Zhu Ye");
}

TEST_F(PreferencesTest, OversizedSectionIsCutAtTheBuffer) {
  WriteUserOpts("[Firewall]\nLanguage=1033\n");
  std::string body;
  for (int entry = 0; entry < kStringCount; ++entry) {
    body += std::to_string(entry) + "=" + std::string(150, 'a' + entry % 26) + "\n";
  }
  WriteFirewallIni("[English-409]\n" + body);
  CPreferences prefs(dir_.path());
  EXPECT_EQ(std::string(prefs.GetText(0)), std::string(150, 'a'));
  EXPECT_EQ(std::string(prefs.GetText(150)), std::string(150, 'a' + 150 % 26));
  // Each line costs 153 to 155 characters: entries past 175 no longer fit.
  EXPECT_STREQ(prefs.GetText(200), "Program list");
  EXPECT_STREQ(prefs.GetText(212), "Unknow");
}

TEST(PreferencesInstance, OneInstanceInTheFirewallDataFolder) {
  TempDir dir;
  ScopedEnv appdata("QXFW_APPDATA", dir.path());
  platform::ScopedDebugCapture capture;
  CPreferences& prefs = CPreferences::GetInstance();
  EXPECT_EQ(&prefs, &CPreferences::GetInstance());
  EXPECT_EQ(prefs.UserOptsPath(), dir.path() + "/QOLTEX/Firewall/UserOpts.ini");
  EXPECT_TRUE(capture.Contains("[QXFW.exe] AppData Path : " + dir.path()));
  EXPECT_TRUE(capture.Contains("[QXFW.exe] Firewall.ini Path : " + dir.path() +
                               "/QOLTEX/Firewall/Firewall.ini"));
  EXPECT_TRUE(prefs.Save());
}

TEST(UserLanguage, LocaleNamesMapToLanguageIdentifiers) {
  EXPECT_EQ(LanguageFromLocale("ko_KR.UTF-8"), 1042);
  EXPECT_EQ(LanguageFromLocale("ko"), 1042);
  EXPECT_EQ(LanguageFromLocale("en_US"), 1033);
  EXPECT_EQ(LanguageFromLocale("en_GB.UTF-8"), 2057);
  EXPECT_EQ(LanguageFromLocale("zh_TW.Big5"), 1028);
  EXPECT_EQ(LanguageFromLocale("zh"), 2052);
  EXPECT_EQ(LanguageFromLocale("de_LU@euro"), 1031);
  EXPECT_EQ(LanguageFromLocale("pt_BR"), 1046);
  EXPECT_EQ(LanguageFromLocale("C.UTF-8"), 1033);
  EXPECT_EQ(LanguageFromLocale("POSIX"), 1033);
  EXPECT_EQ(LanguageFromLocale("xx_YY"), 1033);

  ScopedEnv lang("LANG", "fr_FR.UTF-8");
  ScopedEnv messages("LC_MESSAGES", "ja_JP.UTF-8");
  ScopedEnv all("LC_ALL", "");
  EXPECT_EQ(UserDefaultLanguage(), 1041);
  ScopedEnv all_set("LC_ALL", "ko_KR.UTF-8");
  EXPECT_EQ(UserDefaultLanguage(), 1042);
}

}  // namespace
}  // namespace qxfw::store
