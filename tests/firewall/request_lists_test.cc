// The pending list, the trusted-path list and the registration of trusted programs.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "firewall/pending_list.h"
#include "firewall/trusted_path_list.h"
#include "firewall/trusted_programs.h"
#include "store/db_manager.h"
#include "test_support/temp_dir.h"

namespace qxfw::firewall {
namespace {

struct Request {
  uint32_t handle;
  uint32_t processId;
};

TEST(PendingListTest, FindsRequestsOfOneProcessInArrivalOrder) {
  CPendingList<Request> list;
  list.Append({1, 100});
  list.Append({2, 200});
  list.Append({3, 100});
  list.Append({4, 100});
  EXPECT_EQ(list.FindProcess(300), list.End());

  std::vector<uint32_t> handles;
  for (auto it = list.FindProcess(100); it != list.End(); it = list.FindProcess(100, it)) {
    handles.push_back(it->handle);
  }
  EXPECT_EQ(handles, (std::vector<uint32_t>{1, 3, 4}));

  // The prompt answers its process's requests one by one; the others stay in order.
  auto it = list.FindProcess(100);
  while (it != list.End()) {
    auto next = list.FindProcess(100, it);
    list.Remove(it);
    it = next;
  }
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Entries().front().handle, 2u);
}

TEST(TrustedPathListTest, ComparesIgnoringCaseAndKeepsAtMost255) {
  CTrustedPathList list;
  EXPECT_TRUE(list.Add("/opt/App/bin/tool"));
  EXPECT_TRUE(list.Contains("/OPT/app/BIN/tool"));
  EXPECT_FALSE(list.Contains("/opt/App/bin/tool2"));
  EXPECT_FALSE(list.Contains(""));
  EXPECT_FALSE(list.Add("relative/tool"));
  for (int i = 1; i < 255; ++i) EXPECT_TRUE(list.Add("/p/" + std::to_string(i)));
  EXPECT_EQ(list.Count(), 255u);
  EXPECT_FALSE(list.Add("/p/one-too-many"));
  EXPECT_FALSE(list.Contains("/p/one-too-many"));
}

class RegistrationTest : public ::testing::Test {
 protected:
  RegistrationTest() : db_(dir_.path()) {}
  void SetUp() override { ASSERT_TRUE(db_.IsRuleFileOpen()); }
  std::string MakeFile(const std::string& name) {
    std::string path = dir_.path() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n";
    return path;
  }
  std::vector<store::tagFIREWALL_PROGRAM> Rules() {
    std::vector<store::tagFIREWALL_PROGRAM> rules;
    store::tagFIREWALL_PROGRAM p;
    db_.Select(store::CDBManager::kSelectRuleFile);
    while (db_.Select(store::CDBManager::kSelectProgram) && db_.GetProgram(&p)) rules.push_back(p);
    return rules;
  }

  test_support::TempDir dir_;
  store::CDBManager db_;
};

TEST_F(RegistrationTest, AddsAllowRulesForExistingProgramsWithoutRules) {
  std::string browser = MakeFile("browser");
  std::string service = MakeFile("service");
  std::string known = MakeFile("Known");
  store::tagFIREWALL_PROGRAM rule{};
  rule.action = store::kActionBlock;
  std::string knownOtherCase = dir_.path() + "/KNOWN";
  std::strcpy(rule.path, knownOtherCase.c_str());
  ASSERT_NE(db_.AddProgram(rule, nullptr), 0);

  std::vector<TrustedProgram> programs(5);
  programs[0].path = browser;
  programs[0].hasTable = true;
  programs[0].table = BrowserPolicyTable();
  programs[1].path = "";                        // empty slot
  programs[2].path = dir_.path() + "/missing";  // no such file
  programs[3].path = known;                     // has a rule already (other case)
  programs[4].path = service;
  EXPECT_EQ(RegisterTrustedPrograms(db_, programs), 2);

  auto rules = Rules();
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0].action, store::kActionBlock);  // the user's rule is left alone
  EXPECT_EQ(rules[1].path, browser);
  EXPECT_EQ(rules[1].action, store::kActionAllow);
  EXPECT_EQ(rules[1].policySlot, 0);  // an allow rule keeps no table
  EXPECT_EQ(rules[2].path, service);
  // Registering again adds nothing.
  EXPECT_EQ(RegisterTrustedPrograms(db_, programs), 0);
}

TEST(TrustedProgramTablesTest, EveryEntryAllowsOnePort) {
  for (const auto& table :
       {BrowserPolicyTable(), AccountServicePolicyTable(), MessageBusPolicyTable()}) {
    ASSERT_TRUE(store::IsValidPolicyTable(table));
    for (uint32_t i = 0; i < table.count; ++i) {
      EXPECT_EQ(table.entries[i].action, 1);
      EXPECT_EQ(table.entries[i].beginPort, table.entries[i].endPort);
      EXPECT_EQ(table.entries[i].beginIp | table.entries[i].endIp, 0u);
    }
  }
  EXPECT_EQ(AccountServicePolicyTable().count, 9u);
  EXPECT_EQ(AccountServicePolicyTable().entries[2].beginPort, 339);
  EXPECT_EQ(MessageBusPolicyTable().count, 7u);
}

}  // namespace
}  // namespace qxfw::firewall
