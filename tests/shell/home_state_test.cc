// The state model of the home page and the tray icon: which facts make the program protected,
// what the page says otherwise and which fix it offers, and that every text comes from the
// string table.
#include "shell/home_state.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "store/string_table.h"

namespace qxfw::shell {
namespace {

std::string English(int number) {
  if (number >= 0 && number < store::kStringCount) return store::kEnglishStrings[number];
  return store::kEnglishExtraStrings[number - store::kExtraStringBase];
}

class HomeStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  static HomeFacts Attached() {
    HomeFacts facts;
    facts.daemon = DaemonLink::kAttached;
    facts.level = 3;
    return facts;
  }
  static const HomeRow& RowOf(const HomeReport& report, const std::string& key) {
    for (const HomeRow& row : report.rows) {
      if (row.key == key) return row;
    }
    static HomeRow none;
    ADD_FAILURE() << "no row " << key;
    return none;
  }
};

TEST_F(HomeStateTest, ProtectedOnlyWhileAttachedAndTheLevelIsNotOff) {
  for (int level : {2, 3, 4}) {
    HomeFacts facts = Attached();
    facts.level = level;
    HomeReport report = DescribeHome(facts, English);
    EXPECT_TRUE(report.protectedNow) << level;
    EXPECT_EQ(report.headline, "You are protected");
    EXPECT_EQ(report.summary,
              "The filter holds every new connection until a rule or you decide it.");
    EXPECT_TRUE(report.problems.empty());
    EXPECT_EQ(report.tray, TrayLook::kProtected);
    EXPECT_EQ(report.trayTip, "Talvoran Firewall\nYou are protected");
    EXPECT_EQ(RowOf(report, "filter").value, "Attached, holding new connections");
    EXPECT_FALSE(RowOf(report, "filter").warning);
  }

  HomeFacts off = Attached();
  off.level = 1;
  HomeReport report = DescribeHome(off, English);
  EXPECT_FALSE(report.protectedNow);
  EXPECT_EQ(report.headline, "You are not protected");
  EXPECT_EQ(report.summary, "");
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_EQ(report.problems[0].text,
            "Connections that no rule decides pass unasked: the security level is Off.");
  EXPECT_EQ(report.problems[0].command, "Options");
  EXPECT_EQ(report.problems[0].button, "Change the level");
  EXPECT_EQ(report.tray, TrayLook::kNotProtected);
  EXPECT_EQ(report.trayTip, "Talvoran Firewall\nYou are not protected\nSecurity Level: Off");
  EXPECT_EQ(RowOf(report, "level").value, "Off");
  EXPECT_TRUE(RowOf(report, "level").warning);
}

TEST_F(HomeStateTest, EveryReasonForAMissingFilterIsNamedWithItsFix) {
  struct Case {
    DaemonLink link;
    const char* problem;
    const char* value;
    bool startOffered;
  };
  for (const Case& c : {
           Case{DaemonLink::kNotStarted,
                "New connections are not checked: the filter is not started.", "Not started", true},
           Case{DaemonLink::kGone, "New connections are not checked: the filter has stopped.",
                "Gone: it has stopped", true},
           Case{DaemonLink::kRefusedDenied,
                "New connections are not checked: the filter was started for another user.",
                "Refused: started for another user", true},
           Case{DaemonLink::kRefusedBusy,
                "New connections are not checked: another program holds the filter. Close that "
                "program and this one takes the filter over.",
                "Refused: another program holds it", false},
       }) {
    HomeFacts facts;
    facts.daemon = c.link;
    HomeReport report = DescribeHome(facts, English);
    EXPECT_FALSE(report.protectedNow) << c.value;
    EXPECT_EQ(report.headline, "You are not protected");
    ASSERT_EQ(report.problems.size(), 1u) << c.value;
    EXPECT_EQ(report.problems[0].text, c.problem);
    EXPECT_EQ(report.problems[0].command, c.startOffered ? "cmdStartDriver" : "");
    EXPECT_EQ(report.problems[0].button, c.startOffered ? "Start the filter" : "");
    EXPECT_EQ(RowOf(report, "filter").value, c.value);
    EXPECT_TRUE(RowOf(report, "filter").warning);
    EXPECT_EQ(report.tray, TrayLook::kNotProtected);
    EXPECT_EQ(report.trayTip,
              std::string("Talvoran Firewall\nYou are not protected\nFilter: ") + c.value);
  }

  // Both at once: two problems, the filter first.
  HomeFacts both;
  both.daemon = DaemonLink::kGone;
  both.level = 1;
  HomeReport report = DescribeHome(both, English);
  ASSERT_EQ(report.problems.size(), 2u);
  EXPECT_EQ(report.problems[0].command, "cmdStartDriver");
  EXPECT_EQ(report.problems[1].command, "Options");

  // While the installer runs for a start, the page says so and offers no second start.
  both.daemonStarting = true;
  report = DescribeHome(both, English);
  EXPECT_EQ(RowOf(report, "filter").value, "Starting...");
  EXPECT_EQ(report.problems[0].command, "");
  EXPECT_FALSE(report.protectedNow);
}

TEST_F(HomeStateTest, HeldConnectionsGiveTheWaitingLookOnlyWhileAttached) {
  HomeFacts facts = Attached();
  facts.waiting = 2;
  HomeReport report = DescribeHome(facts, English);
  EXPECT_TRUE(report.protectedNow);
  EXPECT_EQ(report.tray, TrayLook::kWaiting);
  EXPECT_EQ(report.trayTip, "Talvoran Firewall\nYou are protected\nWaiting for your answer: 2");
  EXPECT_EQ(RowOf(report, "waiting").value, "2");
  EXPECT_TRUE(RowOf(report, "waiting").warning);
  // A prompt still open after the filter went away: what matters is that nothing is checked.
  facts.daemon = DaemonLink::kGone;
  report = DescribeHome(facts, English);
  EXPECT_EQ(report.tray, TrayLook::kNotProtected);
  facts.daemon = DaemonLink::kAttached;
  facts.waiting = 0;
  EXPECT_EQ(DescribeHome(facts, English).tray, TrayLook::kProtected);
}

TEST_F(HomeStateTest, FactRowsInOrderWithLevelLinkAndCounts) {
  HomeFacts facts = Attached();
  facts.level = 4;
  facts.programRules = 12;
  facts.portRules = 3;
  HomeReport report = DescribeHome(facts, English);
  std::vector<std::string> keys;
  for (const HomeRow& row : report.rows) keys.push_back(row.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"filter", "level", "programRules", "portRules",
                                            "waiting", "antivirus", "signatures", "lastScan"}));
  const HomeRow& level = RowOf(report, "level");
  EXPECT_EQ(level.label, "Security Level");
  EXPECT_EQ(level.value, "High");
  EXPECT_EQ(level.command, "Options");
  EXPECT_EQ(level.button, "Change");
  EXPECT_FALSE(level.warning);
  EXPECT_EQ(RowOf(report, "programRules").value, "12");
  EXPECT_EQ(RowOf(report, "portRules").value, "3");
  EXPECT_EQ(RowOf(report, "waiting").value, "0");
  facts.level = 2;
  EXPECT_EQ(RowOf(DescribeHome(facts, English), "level").value, "Low");
  // Levels outside 1-4 read as Medium, as the level dialog shows them.
  facts.level = 9;
  EXPECT_EQ(RowOf(DescribeHome(facts, English), "level").value, "Medium");
}

TEST_F(HomeStateTest, AntivirusSignaturesAndLastScan) {
  HomeFacts facts = Attached();
  HomeReport report = DescribeHome(facts, English);
  EXPECT_EQ(RowOf(report, "antivirus").value, "Not installed: run qxfwsetup /Install");
  EXPECT_TRUE(RowOf(report, "antivirus").warning);
  EXPECT_EQ(RowOf(report, "signatures").value, "Unknown");
  EXPECT_EQ(RowOf(report, "lastScan").value, "Never");
  // The antivirus part does not decide whether connections are protected.
  EXPECT_TRUE(report.protectedNow);

  facts.engine = EngineState::kReady;
  facts.signatureVersion = "7.2";
  facts.signatureDate = 1765324800;                         // 2025-12-10 00:00 UTC
  facts.lastScan = LastScanRecord{1765370520, 1200, 0, 0};  // 12:42
  report = DescribeHome(facts, English);
  EXPECT_EQ(RowOf(report, "antivirus").value, "Ready");
  EXPECT_FALSE(RowOf(report, "antivirus").warning);
  EXPECT_EQ(RowOf(report, "signatures").value, "Version 7.2, 2025-12-10");
  EXPECT_EQ(RowOf(report, "lastScan").value,
            "2025-12-10 12:42: no virus found, files scanned: 1200");
  EXPECT_FALSE(RowOf(report, "lastScan").warning);

  facts.lastScan->errors = 4;
  EXPECT_EQ(RowOf(DescribeHome(facts, English), "lastScan").value,
            "2025-12-10 12:42: files not scanned: 4, files scanned: 1200");
  facts.lastScan->infected = 2;
  report = DescribeHome(facts, English);
  EXPECT_EQ(RowOf(report, "lastScan").value,
            "2025-12-10 12:42: infected files: 2, files scanned: 1200");
  EXPECT_TRUE(RowOf(report, "lastScan").warning);

  facts.signatureVersion.clear();
  EXPECT_EQ(RowOf(DescribeHome(facts, English), "signatures").value, "Version Unknown, 2025-12-10");
  facts.engine = EngineState::kNoSignatures;
  EXPECT_EQ(RowOf(DescribeHome(facts, English), "antivirus").value, "No signature database");
  facts.engine = EngineState::kScanning;
  EXPECT_EQ(RowOf(DescribeHome(facts, English), "antivirus").value, "Scanning");
}

TEST_F(HomeStateTest, EngineStateFromFilesAndWorkFlags) {
  AntiVirusFacts files;
  EXPECT_EQ(EngineStateOf(files, 0, 0, 0), EngineState::kNotInstalled);
  files.library = true;
  EXPECT_EQ(EngineStateOf(files, 1, 0, 0), EngineState::kNotInstalled) << "no engine library";
  files.engine = true;
  EXPECT_EQ(EngineStateOf(files, 0, 0, 0), EngineState::kNoSignatures);
  files.databases = 2;
  EXPECT_EQ(EngineStateOf(files, 0, 0, 0), EngineState::kReady);
  EXPECT_EQ(EngineStateOf(files, -1, 2, 2), EngineState::kReady) << "failed or done is not busy";
  EXPECT_EQ(EngineStateOf(files, 1, 1, 1), EngineState::kUpdating);
  EXPECT_EQ(EngineStateOf(files, 0, 1, 1), EngineState::kStarting);
  EXPECT_EQ(EngineStateOf(files, 0, 0, 1), EngineState::kScanning);
}

TEST_F(HomeStateTest, EveryTextComesFromTheTextSource) {
  // A source that marks each text: nothing of the report may be built-in English.
  auto marked = [](int number) { return "<" + std::to_string(number) + ">"; };
  HomeFacts facts;
  facts.daemon = DaemonLink::kNotStarted;
  facts.level = 1;
  facts.waiting = 1;
  facts.lastScan = LastScanRecord{0, 5, 1, 0};
  facts.signatureVersion = "3";
  facts.signatureDate = 86400;
  HomeReport report = DescribeHome(facts, marked);
  auto onlyMarked = [](const std::string& text) {
    // Outside the marks only digits, blanks, punctuation and the filled-in facts remain.
    std::string rest;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '<') {
        i = text.find('>', i);
        continue;
      }
      rest += text[i];
    }
    return rest.find_first_not_of("0123456789 :-,.\n") == std::string::npos;
  };
  EXPECT_TRUE(onlyMarked(report.headline)) << report.headline;
  EXPECT_TRUE(onlyMarked(report.trayTip)) << report.trayTip;
  for (const HomeProblem& p : report.problems) {
    EXPECT_TRUE(onlyMarked(p.text) && onlyMarked(p.button)) << p.text;
  }
  for (const HomeRow& row : report.rows) {
    EXPECT_TRUE(onlyMarked(row.label) && onlyMarked(row.value) && onlyMarked(row.button))
        << row.key << ": " << row.label << " " << row.value;
  }
  EXPECT_EQ(report.headline, "<214>");
  EXPECT_EQ(report.trayTip, "<149>\n<214>\n<223>: <225>");
}

TEST_F(HomeStateTest, LocalDates) {
  EXPECT_EQ(LocalDateText(0, true), "1970-01-01 00:00");
  EXPECT_EQ(LocalDateText(1765370520, false), "2025-12-10");
}

}  // namespace
}  // namespace qxfw::shell
