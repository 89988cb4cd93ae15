#include "firewall/access_decision.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firewall/security_level.h"
#include "platform/debug_output.h"
#include "store/db_manager.h"
#include "test_support/temp_dir.h"

namespace qxfw::firewall {
namespace {

using store::tagFIREWALL_PORTIP;
using store::tagFIREWALL_PROGRAM;
using store::tagPOLICY;
using store::tagPOLICY_TABLE;

constexpr char kClient[] = "/usr/bin/client";

uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return ntohl(a.s_addr);
}

RequestFacts Tcp(const char* address, uint16_t port) {
  return RequestFacts{4242, store::kProtocolTcp, Ip(address), port};
}

tagPOLICY PortEntry(uint16_t action, uint16_t protocol, uint16_t begin, uint16_t end) {
  tagPOLICY e{};
  e.action = action;
  e.protocol = protocol;
  e.beginPort = begin;
  e.endPort = end;
  return e;
}

tagPOLICY AddressEntry(uint16_t action, const char* begin, const char* end) {
  tagPOLICY e{};
  e.action = action;
  e.beginIp = Ip(begin);
  e.endIp = Ip(end);
  return e;
}

tagPOLICY_TABLE Table(std::initializer_list<tagPOLICY> entries) {
  tagPOLICY_TABLE t{};
  for (const auto& e : entries) t.entries[t.count++] = e;
  return t;
}

class DecideTest : public ::testing::Test {
 protected:
  DecideTest()
      : db_(dir_.path()),
        decision_(
            db_,
            [this](const RequestProgram& program) {
              ++signatureCalls_;
              return program.path == signedPath_;
            },
            level_) {}

  void AddProgram(const char* path, int16_t action, const tagPOLICY_TABLE* table = nullptr) {
    tagFIREWALL_PROGRAM p{};
    p.action = action;
    std::strncpy(p.path, path, sizeof(p.path) - 1);
    ASSERT_NE(db_.AddProgram(p, table), 0) << path;
  }

  void AddPortIp(int16_t action, uint16_t protocol, uint16_t beginPort, uint16_t endPort,
                 const char* beginIp, const char* endIp) {
    tagFIREWALL_PORTIP r{};
    r.action = action;
    r.protocol = protocol;
    r.beginPort = beginPort;
    r.endPort = endPort;
    r.beginIp = Ip(beginIp);
    r.endIp = Ip(endIp);
    r.portType =
        beginPort == 0 && endPort == 0 ? store::kPortTypeAddressOnly : store::kPortTypeUser;
    ASSERT_NE(db_.AddPortIp(r), 0);
  }

  DecisionResult Decide(const RequestFacts& request, std::string path = kClient,
                        std::string name = "client") {
    RequestProgram program;
    program.path = std::move(path);
    program.name = std::move(name);
    return decision_.Decide(request, program);
  }

  test_support::TempDir dir_;
  store::CDBManager db_;
  int level_ = kLevelMedium;
  std::string signedPath_;
  int signatureCalls_ = 0;
  CAccessDecision decision_;
};

TEST_F(DecideTest, ProgramRulesMatchFullPathOrFileNameIgnoringCase) {
  AddProgram("/usr/bin/other", store::kActionAllow);
  AddProgram("/USR/BIN/Client", store::kActionBlock);
  DecisionResult r = Decide(Tcp("192.0.2.1", 80));
  EXPECT_EQ(r.decision, kDecisionBlock);
  EXPECT_EQ(r.decidedBy, DecidedBy::kProgramRule);
  EXPECT_STREQ(r.programRule.path, "/USR/BIN/Client");

  // A process whose path cannot be read is still matched by a rule naming its file name.
  AddProgram("lonely", store::kActionAllow);
  r = Decide(Tcp("192.0.2.1", 80), "", "lonely");
  EXPECT_EQ(r.decision, kDecisionAllow);
  EXPECT_STREQ(r.programRule.path, "lonely");
}

TEST_F(DecideTest, UnconfirmedProgramIsNeitherMatchedByPathNorSigned) {
  AddProgram(kClient, store::kActionAllow);
  signedPath_ = kClient;
  // The caller passes no path for an executable the kernel did not confirm.
  DecisionResult r = Decide(Tcp("192.0.2.1", 80), "", "client");
  EXPECT_EQ(r.decision, kDecisionUndecided);
  EXPECT_FALSE(r.programRuleMatched);
  EXPECT_FALSE(r.isSigned);
  EXPECT_EQ(signatureCalls_, 0);
  // "n/a" stands in for the missing path and name, and matches a rule of that text only.
  AddProgram("n/a", store::kActionBlock);
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 80), "", "").decision, kDecisionBlock);
}

TEST_F(DecideTest, BlockingRuleWinsAcrossStages) {
  AddProgram(kClient, store::kActionBlock);
  AddPortIp(store::kActionAllow, store::kProtocolTcp, 80, 80, "0.0.0.0", "0.0.0.0");
  DecisionResult r = Decide(Tcp("192.0.2.1", 80));
  EXPECT_EQ(r.decision, kDecisionBlock);
  EXPECT_EQ(r.decidedBy, DecidedBy::kProgramRule);

  AddProgram("/usr/bin/browser", store::kActionAllow);
  AddPortIp(store::kActionBlock, store::kProtocolAll, 0, 0, "198.51.100.0", "198.51.100.255");
  r = Decide(Tcp("198.51.100.7", 443), "/usr/bin/browser", "browser");
  EXPECT_EQ(r.decision, kDecisionBlock);
  EXPECT_EQ(r.decidedBy, DecidedBy::kPortIpRule);
  EXPECT_EQ(r.portIpRule.beginIp, Ip("198.51.100.0"));
  // Outside the blocked range the program rule allows.
  r = Decide(Tcp("198.51.101.7", 443), "/usr/bin/browser", "browser");
  EXPECT_EQ(r.decision, kDecisionAllow);
  EXPECT_EQ(r.decidedBy, DecidedBy::kProgramRule);
}

TEST_F(DecideTest, PolicyTableDecidesPortsOfOneProgram) {
  tagPOLICY_TABLE table =
      Table({PortEntry(1, store::kProtocolTcp, 80, 80), PortEntry(0, store::kProtocolTcp, 25, 25)});
  AddProgram(kClient, store::kActionPolicy, &table);
  DecisionResult r = Decide(Tcp("192.0.2.1", 80));
  EXPECT_EQ(r.decision, kDecisionAllow);
  EXPECT_EQ(r.decidedBy, DecidedBy::kPolicyEntry);
  EXPECT_EQ(r.policyEntry, 0);
  r = Decide(Tcp("192.0.2.1", 25));
  EXPECT_EQ(r.decision, kDecisionBlock);
  EXPECT_EQ(r.policyEntry, 1);
  // UDP to port 80 matches no entry: the level decides (Medium, unsigned: undecided).
  RequestFacts udp = Tcp("192.0.2.1", 80);
  udp.protocol = store::kProtocolUdp;
  r = Decide(udp);
  EXPECT_EQ(r.decision, kDecisionUndecided);
  EXPECT_EQ(r.decidedBy, DecidedBy::kLevel);
  signedPath_ = kClient;
  EXPECT_EQ(Decide(udp).decidedBy, DecidedBy::kSignature);
}

TEST(PolicyEvaluationTest, BlockStopsOtherwiseLastMatchWins) {
  int entry = -1;
  auto eval = [&](const tagPOLICY_TABLE& t, const RequestFacts& r) {
    return CAccessDecision::EvaluatePolicy(t, r, &entry);
  };
  tagPOLICY_TABLE t = Table({AddressEntry(1, "10.0.0.0", "10.255.255.255"),
                             PortEntry(7, store::kProtocolTcp, 1, 1000),
                             AddressEntry(1, "10.1.0.0", "10.1.255.255")});
  EXPECT_EQ(eval(t, Tcp("10.2.0.1", 22)), kDecisionUndecided);  // entry 1's "other" action
  EXPECT_EQ(entry, 1);
  EXPECT_EQ(eval(t, Tcp("10.1.0.1", 22)), kDecisionAllow);
  EXPECT_EQ(entry, 2);
  EXPECT_EQ(eval(t, Tcp("10.2.0.1", 2000)), kDecisionAllow);
  EXPECT_EQ(entry, 0);

  t = Table({AddressEntry(0, "10.0.0.0", "10.0.0.255"), AddressEntry(1, "10.0.0.0", "10.0.0.255")});
  EXPECT_EQ(eval(t, Tcp("10.0.0.9", 22)), kDecisionBlock);
  EXPECT_EQ(entry, 0);

  // An entry with both parts needs the address too; one outside stays silent.
  tagPOLICY both = PortEntry(0, store::kProtocolTcp, 22, 22);
  both.beginIp = Ip("10.0.0.0");
  both.endIp = Ip("10.0.0.255");
  t = Table({both});
  EXPECT_EQ(eval(t, Tcp("10.0.0.9", 22)), kDecisionBlock);
  EXPECT_EQ(eval(t, Tcp("10.0.1.9", 22)), kDecisionUndecided);
  EXPECT_EQ(entry, -1);

  // A damaged count reads no further than the 32 entries.
  t = Table({PortEntry(1, store::kProtocolTcp, 22, 22)});
  t.count = 0xFFFFFFFF;
  EXPECT_EQ(eval(t, Tcp("10.0.0.9", 22)), kDecisionAllow);
}

TEST_F(DecideTest, PortIpRulesDecideOnAddressOrPortAlone) {
  // Protocol "all" can only decide through its address part.
  AddPortIp(store::kActionBlock, store::kProtocolAll, 1, 65535, "0.0.0.0", "0.0.0.0");
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 80)).decidedBy, DecidedBy::kLevel);
  // Begin address 0 with an end address matches everything up to the end.
  AddPortIp(store::kActionAllow, store::kProtocolAll, 0, 0, "0.0.0.0", "10.0.0.0");
  EXPECT_EQ(Decide(Tcp("10.0.0.0", 80)).decision, kDecisionAllow);
  EXPECT_EQ(Decide(Tcp("0.0.0.1", 80)).decidedBy, DecidedBy::kPortIpRule);
  EXPECT_EQ(Decide(Tcp("10.0.0.1", 80)).decidedBy, DecidedBy::kLevel);
  // A rule with both parts decides on its port part even for an address outside its range.
  AddPortIp(store::kActionBlock, store::kProtocolTcp, 25, 25, "203.0.113.0", "203.0.113.255");
  DecisionResult r = Decide(Tcp("192.0.2.1", 25));
  EXPECT_EQ(r.decision, kDecisionBlock);
  EXPECT_EQ(r.portIpRule.beginPort, 25);
  // A later blocking rule beats an earlier allowing one.
  EXPECT_EQ(Decide(Tcp("203.0.113.5", 443)).decision, kDecisionBlock);
}

TEST_F(DecideTest, SecurityLevelStage) {
  platform::ScopedDebugCapture debug;
  level_ = kLevelLow;
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 1024)).decision, kDecisionAllow);
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 1025)).decision, kDecisionUndecided);
  EXPECT_TRUE(debug.Contains("g_SecurityLevel=2 port=1025"));

  signedPath_ = kClient;
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 5000)).decidedBy, DecidedBy::kSignature);
  level_ = kLevelMedium;
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 5000)).decision, kDecisionAllow);
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 80), "/usr/bin/unsigned").decision, kDecisionUndecided);

  level_ = kLevelHigh;
  int callsBefore = signatureCalls_;
  DecisionResult r = Decide(Tcp("192.0.2.1", 80));
  EXPECT_EQ(r.decision, kDecisionUndecided);
  EXPECT_EQ(r.level, kLevelHigh);
  EXPECT_EQ(signatureCalls_, callsBefore);

  level_ = kLevelOff;
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 80), "/usr/bin/unsigned").decision, kDecisionAllow);
  // A level outside 1 to 4 acts as Medium.
  level_ = 9;
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 80), "/usr/bin/unsigned").decision, kDecisionUndecided);
  EXPECT_EQ(Decide(Tcp("192.0.2.1", 80)).decision, kDecisionAllow);
}

TEST_F(DecideTest, StoredLevelOutsideRangeLoadsAsMedium) {
  ASSERT_NE(db_.SetSecurityLevel(4), 0);
  EXPECT_EQ(LoadSecurityLevel(db_), kLevelHigh);
  store::CDBManager noFiles("");
  EXPECT_EQ(LoadSecurityLevel(noFiles), kLevelMedium);
}

}  // namespace
}  // namespace qxfw::firewall
