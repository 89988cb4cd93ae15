// What an answer of the prompt stores and which pending requests it settles, over a real rule
// data file; and when a process still counts as the one the prompt showed.
#include "firewall/prompt_answer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "store/db_manager.h"
#include "test_support/temp_dir.h"

namespace qxfw::firewall {
namespace {

using store::CDBManager;
using store::tagFIREWALL_PROGRAM;
using store::tagPOLICY;
using store::tagPOLICY_TABLE;

CNETWORK_REQUEST Request(uint32_t handle, uint32_t pid, uint32_t address, uint16_t port,
                         uint8_t protocol = kProtocolTcp) {
  CNETWORK_REQUEST r{};
  r.requestHandle = handle;
  r.protocol = protocol;
  r.remoteAddress = htonl(address);
  r.remotePort = htons(port);
  r.processId = pid;
  return r;
}

PromptProcess Tool(uint64_t ticks = 500, ino_t inode = 77) {
  PromptProcess p;
  p.program.path = "/opt/tool/bin/tool";
  p.program.name = "tool";
  p.program.executable.path = p.program.path;
  p.program.executable.device = 8;
  p.program.executable.inode = inode;
  p.program.executable.trusted = true;
  p.startTicks = ticks;
  return p;
}

class PromptAnswerTest : public ::testing::Test {
 protected:
  PromptAnswerTest() : db_(dir_.path()) {}

  AnswerOutcome Answer(const CNETWORK_REQUEST& request, PromptAnswer answer,
                       const PromptProcess& shown = Tool(), const PromptProcess& now = Tool()) {
    return SaveAnswer(db_, pending_, request, shown, now, answer,
                      [this](const CNETWORK_REQUEST& r, uint32_t v) {
                        verdicts_.push_back({r.requestHandle, v});
                      });
  }
  bool Rule(const char* path, tagFIREWALL_PROGRAM* rule) {
    bool found = false;
    db_.Select(CDBManager::kSelectRuleFile);
    while (!found && db_.Select(CDBManager::kSelectProgram) && db_.GetProgram(rule)) {
      found = std::strcmp(rule->path, path) == 0;
    }
    db_.Select(CDBManager::kSelectRuleFile);
    return found;
  }
  tagPOLICY_TABLE Table(const tagFIREWALL_PROGRAM& rule) {
    tagPOLICY_TABLE table{};
    EXPECT_NE(db_.GetPolicy(&table, static_cast<uint32_t>(rule.policySlot)), 0);
    return table;
  }
  void AddRule(int16_t action, const tagPOLICY_TABLE* table) {
    tagFIREWALL_PROGRAM rule{};
    rule.action = action;
    std::strcpy(rule.path, "/OPT/tool/bin/TOOL");  // found ignoring case
    ASSERT_NE(db_.AddProgram(rule, table), 0);
  }

  test_support::TempDir dir_;
  CDBManager db_;
  CPendingRequests pending_;
  std::vector<std::pair<uint32_t, uint32_t>> verdicts_;
};

TEST_F(PromptAnswerTest, EntryAndRuleFollowTheBoxes) {
  CNETWORK_REQUEST r = Request(1, 10, 0xC0000205, 8080, kProtocolUdp);
  tagPOLICY entry = PolicyEntryOf(r, {kVerdictAllow, true, false});
  EXPECT_EQ(entry.action, 1);
  EXPECT_EQ(entry.protocol, kProtocolUdp);
  EXPECT_EQ(entry.beginIp, 0xC0000205u);
  EXPECT_EQ(entry.endIp, 0xC0000205u);
  EXPECT_EQ(entry.beginPort, 0);
  entry = PolicyEntryOf(r, {kVerdictBlock, false, true});
  EXPECT_EQ(entry.beginIp, 0u);
  EXPECT_EQ(entry.beginPort, 8080);
  EXPECT_EQ(entry.endPort, 8080);

  PromptProcess nameOnly;
  nameOnly.program.name = "tool";
  EXPECT_STREQ(ProgramRuleOf(nameOnly.program, {kVerdictBlock, false, false}).path, "tool");
  EXPECT_EQ(ProgramRuleOf(nameOnly.program, {kVerdictBlock, false, false}).action, 0);
  EXPECT_EQ(ProgramRuleOf(Tool().program, {kVerdictAllow, false, false}).action, 1);
  EXPECT_EQ(ProgramRuleOf(Tool().program, {kVerdictAllow, false, true}).action, 2);
}

TEST_F(PromptAnswerTest, AnExistingPolicyGetsTheEntryAppended) {
  tagPOLICY_TABLE table{};
  table.count = 1;
  table.entries[0] = {1, {}, 0, 0, 443, 443, kProtocolTcp, {}};
  AddRule(store::kActionPolicy, &table);
  pending_.Append(Request(1, 10, 0x0A000005, 25));
  AnswerOutcome outcome = Answer(Request(1, 10, 0x0A000005, 25), {kVerdictBlock, false, true});
  EXPECT_EQ(outcome.stored, AnswerOutcome::Stored::kModified);
  tagFIREWALL_PROGRAM rule{};
  ASSERT_TRUE(Rule("/opt/tool/bin/tool", &rule));
  EXPECT_EQ(rule.action, 2);
  tagPOLICY_TABLE stored = Table(rule);
  ASSERT_EQ(stored.count, 2u);
  EXPECT_EQ(stored.entries[0].beginPort, 443);
  EXPECT_EQ(stored.entries[1].beginPort, 25);
  EXPECT_EQ(stored.entries[1].action, 0);
  EXPECT_FALSE(Rule("/OPT/tool/bin/TOOL", &rule));  // replaced, not added beside
}

TEST_F(PromptAnswerTest, AFullTableKeepsItsEntriesButTheRuleIsStillAnswered) {
  tagPOLICY_TABLE table{};
  table.count = store::kMaxPolicyEntries;
  for (uint32_t i = 0; i < table.count; ++i) {
    table.entries[i] = {
        1, {}, 0, 0, static_cast<uint16_t>(1000 + i), static_cast<uint16_t>(1000 + i), kProtocolTcp,
        {}};
  }
  AddRule(store::kActionPolicy, &table);
  pending_.Append(Request(1, 10, 0x0A000005, 25));
  pending_.Append(Request(2, 10, 0x0A000005, 80));
  AnswerOutcome outcome = Answer(Request(1, 10, 0x0A000005, 25), {kVerdictBlock, false, true});
  EXPECT_EQ(outcome.stored, AnswerOutcome::Stored::kModified);
  tagFIREWALL_PROGRAM rule{};
  ASSERT_TRUE(Rule("/opt/tool/bin/tool", &rule));
  EXPECT_EQ(Table(rule).count, store::kMaxPolicyEntries);
  EXPECT_EQ(verdicts_, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0}}));
  ASSERT_TRUE(outcome.next.has_value());
  EXPECT_EQ(outcome.next->requestHandle, 2u);
}

TEST_F(PromptAnswerTest, OnlyThisIpAndPortCoverOnlyMatchingRequests) {
  pending_.Append(Request(1, 10, 0x0A000005, 25));
  pending_.Append(Request(2, 11, 0x0A000005, 25));  // another process
  pending_.Append(Request(3, 10, 0x0A000006, 25));  // another address
  pending_.Append(Request(4, 10, 0x0A000005, 26));  // another port
  pending_.Append(Request(5, 10, 0x0A000005, 25));
  AnswerOutcome outcome = Answer(Request(1, 10, 0x0A000005, 25), {kVerdictAllow, true, true});
  EXPECT_EQ(verdicts_, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {5, 1}}));
  EXPECT_EQ(outcome.settled, 2);
  ASSERT_TRUE(outcome.next.has_value());
  EXPECT_EQ(outcome.next->requestHandle, 3u);
  EXPECT_EQ(pending_.Count(), 3u);
  EXPECT_EQ(outcome.stored, AnswerOutcome::Stored::kAdded);
  tagFIREWALL_PROGRAM rule{};
  ASSERT_TRUE(Rule("/opt/tool/bin/tool", &rule));
  tagPOLICY_TABLE table = Table(rule);
  ASSERT_EQ(table.count, 1u);
  EXPECT_EQ(table.entries[0].beginIp, 0x0A000005u);
  EXPECT_EQ(table.entries[0].beginPort, 25);
}

TEST_F(PromptAnswerTest, AStoreThatFailsStillAnswersTheRequests) {
  CDBManager noFiles{std::string()};
  CPendingRequests pending;
  pending.Append(Request(1, 10, 0x0A000005, 25));
  std::vector<uint32_t> sent;
  AnswerOutcome outcome =
      SaveAnswer(noFiles, pending, Request(1, 10, 0x0A000005, 25), Tool(), Tool(),
                 {kVerdictAllow, false, false},
                 [&](const CNETWORK_REQUEST& r, uint32_t) { sent.push_back(r.requestHandle); });
  EXPECT_EQ(outcome.stored, AnswerOutcome::Stored::kStoreFailed);
  EXPECT_EQ(sent, std::vector<uint32_t>{1});
  EXPECT_TRUE(pending.Empty());
}

TEST(SameProcessTest, StartTimeAndExecutableDecide) {
  EXPECT_TRUE(SameProcess(Tool(), Tool()));
  // Another process under the same pid.
  EXPECT_FALSE(SameProcess(Tool(500), Tool(501)));
  // The same process now runs another program.
  EXPECT_FALSE(SameProcess(Tool(500, 77), Tool(500, 78)));
  // Ended: nobody else holds the pid.
  EXPECT_TRUE(SameProcess(Tool(), PromptProcess{}));
  // Nothing was known when the prompt looked; a program known now is not the one shown.
  PromptProcess unknown;
  unknown.startTicks = 500;
  EXPECT_FALSE(SameProcess(unknown, Tool(500)));
  EXPECT_TRUE(SameProcess(unknown, unknown));
}

TEST(PromptProcessOfTest, LooksTheRunningProgramUp) {
  PromptProcess self = PromptProcessOf(static_cast<uint32_t>(::getpid()));
  EXPECT_FALSE(self.program.path.empty());
  EXPECT_NE(self.startTicks, 0u);
  EXPECT_TRUE(SameProcess(self, PromptProcessOf(static_cast<uint32_t>(::getpid()))));
  PromptProcess none = PromptProcessOf(0);
  EXPECT_TRUE(none.program.path.empty());
  EXPECT_EQ(none.startTicks, 0u);
}

}  // namespace
}  // namespace qxfw::firewall
