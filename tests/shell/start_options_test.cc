// Start-up options, the app: command filter and page addresses.
#include <gtest/gtest.h>

#include "shell/app_command.h"
#include "shell/command_line.h"
#include "store/db_manager.h"
#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

int CountPrograms(store::CDBManager& db) {
  int n = 0;
  store::tagFIREWALL_PROGRAM p{};
  db.Select(store::CDBManager::kSelectRuleFile);
  while (db.Select(store::CDBManager::kSelectProgram) && db.GetProgram(&p)) ++n;
  return n;
}

int CountPortIps(store::CDBManager& db) {
  int n = 0;
  store::tagFIREWALL_PORTIP r{};
  db.Select(store::CDBManager::kSelectRuleFile);
  while (db.Select(store::CDBManager::kSelectPortIp) && db.GetPortIp(&r)) ++n;
  return n;
}

TEST(StartOptions, PiecesStartAtSlashesAfterBlanks) {
  StartOptions o = ParseStartOptions(
      "/G:1,/usr/bin/true;0,/usr/bin/false /P:1,80,80,0.0.0.0,0.0.0.0,1,web,1 /a:OFF /e:off "
      "/f:forbid /l:9 /p:\"/opt/x y/run\" /s:on /x:ignored");
  ASSERT_EQ(o.ruleOptions.size(), 2u);
  EXPECT_EQ(o.ruleOptions[0].letter, 'G');
  EXPECT_EQ(o.ruleOptions[0].value, "1,/usr/bin/true;0,/usr/bin/false");
  EXPECT_EQ(o.ruleOptions[1].value, "1,80,80,0.0.0.0,0.0.0.0,1,web,1");
  EXPECT_EQ(o.antivirusEnabled, false);
  EXPECT_EQ(o.trayMenuVariant, false);
  EXPECT_FALSE(o.levelRaisePermitted);
  EXPECT_EQ(o.requestedLevel, 4);  // 9 becomes 4
  ASSERT_EQ(o.trustedPaths.size(), 1u);
  EXPECT_EQ(o.trustedPaths[0], "/opt/x y/run");  // quotes trimmed, inner blank kept
  EXPECT_EQ(o.startScan, true);
}

TEST(StartOptions, BoundedValuesAndRangeChecks) {
  // "/G" with no value, an option letter alone at the end.
  StartOptions bare = ParseStartOptions("/G");
  ASSERT_EQ(bare.ruleOptions.size(), 1u);
  EXPECT_EQ(bare.ruleOptions[0].value, "");
  // Values are cut at 260 characters.
  StartOptions longValue = ParseStartOptions("/p:" + std::string(1000, 'x'));
  ASSERT_EQ(longValue.trustedPaths.size(), 1u);
  EXPECT_EQ(longValue.trustedPaths[0].size(), kOptionValueLimit);
  // l: negative becomes 4, overflow and text are ignored.
  EXPECT_EQ(ParseStartOptions("/l:-3").requestedLevel, 4);
  EXPECT_FALSE(ParseStartOptions("/l:99999999999999").requestedLevel.has_value());
  EXPECT_FALSE(ParseStartOptions("/l:2x").requestedLevel.has_value());
  // Letters are case-sensitive; f only permits with "site".
  EXPECT_TRUE(ParseStartOptions("/F:x /g:1,/a").ruleOptions.empty());
  EXPECT_TRUE(ParseStartOptions("/f:SITE").levelRaisePermitted);
  // The trusted-path list stops at 255.
  std::string many;
  for (int i = 0; i < 300; ++i) many += "/p:/bin/p" + std::to_string(i) + " ";
  EXPECT_EQ(ParseStartOptions(many).trustedPaths.size(), kMaxTrustedPaths);
}

TEST(StartOptions, LevelRaise) {
  EXPECT_EQ(LevelAfterOptions(ParseStartOptions("/l:4"), 3), 4);
  EXPECT_EQ(LevelAfterOptions(ParseStartOptions("/l:2"), 3), 3);  // never lowered
  EXPECT_EQ(LevelAfterOptions(ParseStartOptions("/l:4 /f:other"), 3), 3);
  EXPECT_EQ(LevelAfterOptions(ParseStartOptions("/l:4 /f:site"), 3), 4);
}

TEST(StartOptions, StoresRulesAllOrNothingPerList) {
  test_support::TempDir dir;
  store::CDBManager db(dir.path());
  ASSERT_TRUE(db.IsRuleFileOpen());
  EXPECT_EQ(StoreRules(ParseStartOptions("/G:1,/usr/bin/true;0,/usr/bin/false "
                                         "/P:1,80,80,0.0.0.0,0.0.0.0,1,web,1"),
                       db),
            3);
  EXPECT_EQ(CountPrograms(db), 2);
  EXPECT_EQ(CountPortIps(db), 1);

  // 51 short items fit the 260 characters of a value; a longer list that was cut adds nothing
  // either (its last item could be a shortened path).
  std::string fiftyOne = "/G:";
  for (int i = 0; i < 51; ++i) fiftyOne += "1,/a;";
  EXPECT_EQ(StoreRules(ParseStartOptions(fiftyOne), db), 0);
  std::string cut = "/G:";
  for (int i = 0; i < 30; ++i) cut += "1,/usr/bin/p" + std::to_string(i) + ";";
  EXPECT_EQ(StoreRules(ParseStartOptions(cut), db), 0);
  EXPECT_EQ(StoreRules(ParseStartOptions("/G:1,/usr/bin/a;1,/usr/bin/b,/x"), db), 0);
  EXPECT_EQ(StoreRules(ParseStartOptions("/P:1,80,80,10.0,0.0.0.0,1,web,1"), db), 0);
  EXPECT_EQ(StoreRules(ParseStartOptions("/P:1,70000,70000,0.0.0.0,0.0.0.0,1,web,1"), db), 0);
  EXPECT_EQ(CountPrograms(db), 2);
  EXPECT_EQ(CountPortIps(db), 1);

  // Additions stop at the first that fails (the existing /usr/bin/true).
  EXPECT_EQ(StoreRules(ParseStartOptions("/G:1,/usr/bin/c;1,/usr/bin/true;1,/usr/bin/d"), db), 1);
  EXPECT_EQ(CountPrograms(db), 3);
}

TEST(AppCommands, FilterAndTable) {
  AppCommand c;
  std::string buffer;
  EXPECT_FALSE(FilterAppUrl("http://example.invalid/", &c, &buffer));
  EXPECT_FALSE(FilterAppUrl("app", &c, &buffer));
  ASSERT_TRUE(FilterAppUrl("app:ip&port", &c, &buffer));
  EXPECT_EQ(c, AppCommand::kIpPort);
  EXPECT_EQ(buffer, kAlreadyProcessed);
  ASSERT_TRUE(FilterAppUrl("APP:Ip%26Port", &c, &buffer));
  EXPECT_EQ(PageOfCommand(c), 3);
  ASSERT_TRUE(FilterAppUrl("app:cmdAdd", &c, &buffer));
  EXPECT_EQ(c, AppCommand::kNone);
  EXPECT_EQ(buffer, "cmdAdd");
  ASSERT_TRUE(FilterAppUrl("app:" + std::string(600, 'z'), &c, &buffer));
  EXPECT_EQ(buffer.size(), kCommandBufferSize - 1);
  ASSERT_TRUE(FilterAppUrl("app:help", &c, &buffer));
  EXPECT_EQ(PageOfCommand(c), 6);
  ASSERT_TRUE(FilterAppUrl("app:MINIMIZE", &c, &buffer));
  EXPECT_EQ(c, AppCommand::kMinimize);
  EXPECT_EQ(PageOfCommand(c), -1);
}

TEST(AppCommands, HelpAndPageAddresses) {
  EXPECT_EQ(HelpAddress(0), "");
  EXPECT_EQ(HelpAddress(6), "");
  EXPECT_EQ(HelpAddress(1), "help.html#network/");
  EXPECT_EQ(HelpAddress(3), "help.html#ipport");
  EXPECT_EQ(HelpAddress(7), "help.html#vorpex");
  EXPECT_EQ(PageAddress("/tmp/p/", true, "home.html"), "file:///tmp/p/kr/home.html");
  EXPECT_EQ(PageAddress("/tmp/p/", false, "log.html"), "file:///tmp/p/en/log.html");
}

}  // namespace
}  // namespace qxfw::shell
