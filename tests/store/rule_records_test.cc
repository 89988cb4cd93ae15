#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/address_text.h"
#include "platform/last_error.h"
#include "store/rule_records.h"
#include "store/rule_text.h"

namespace qxfw::store {
namespace {

tagPOLICY Entry(uint16_t action, const char* begin, const char* end, uint16_t beginPort,
                uint16_t endPort, uint16_t protocol) {
  tagPOLICY p{};
  p.action = action;
  p.beginIp = begin ? platform::ParseHostAddress(begin) : 0;
  p.endIp = end ? platform::ParseHostAddress(end) : 0;
  p.beginPort = beginPort;
  p.endPort = endPort;
  p.protocol = protocol;
  return p;
}

tagFIREWALL_PORTIP PortRule(uint16_t beginPort, uint16_t endPort, uint32_t beginIp, uint32_t endIp,
                            uint16_t protocol) {
  tagFIREWALL_PORTIP r{};
  r.action = 1;
  r.beginPort = beginPort;
  r.endPort = endPort;
  r.beginIp = beginIp;
  r.endIp = endIp;
  r.protocol = protocol;
  return r;
}

TEST(RuleValidity, ProgramPathIsCutAt259Characters) {
  tagFIREWALL_PROGRAM p{};
  std::memset(p.path, 'a', sizeof(p.path));  // no terminator at all
  EXPECT_TRUE(IsValidProgram(p));
  EXPECT_EQ(std::strlen(p.path), 259u);
  tagFIREWALL_PROGRAM empty{};
  EXPECT_FALSE(IsValidProgram(empty));
}

TEST(RuleValidity, PortIpRules) {
  EXPECT_TRUE(IsValidPortIp(PortRule(80, 80, 0, 0, 1)));
  EXPECT_FALSE(IsValidPortIp(PortRule(80, 80, 0, 0, 0)));
  EXPECT_FALSE(IsValidPortIp(PortRule(80, 80, 0, 0, 5)));
  EXPECT_FALSE(IsValidPortIp(PortRule(90, 80, 0, 0, 1)));
  // Reversed addresses are tolerated only when a port is given.
  EXPECT_TRUE(IsValidPortIp(PortRule(80, 80, 0x0A000005, 0x0A000001, 1)));
  EXPECT_FALSE(IsValidPortIp(PortRule(0, 0, 0x0A000005, 0x0A000001, 4)));
  EXPECT_TRUE(IsValidPortIp(PortRule(0, 0, 0x0A000001, 0x0A000005, 4)));
  EXPECT_FALSE(IsValidPortIp(PortRule(0, 0, 0, 0, 4)));
  tagFIREWALL_PORTIP badAction = PortRule(80, 80, 0, 0, 1);
  badAction.action = 2;
  EXPECT_FALSE(IsValidPortIp(badAction));
}

TEST(RuleValidity, PolicyTables) {
  tagPOLICY_TABLE t{};
  EXPECT_FALSE(IsValidPolicyTable(t));
  t.count = 1;
  t.entries[0] = Entry(1, "10.0.0.1", "10.0.0.9", 0, 0, 0);
  EXPECT_TRUE(IsValidPolicyTable(t));
  t.entries[0] = Entry(1, nullptr, "10.0.0.9", 0, 0, 0);
  EXPECT_FALSE(IsValidPolicyTable(t));
  t.entries[0] = Entry(1, nullptr, nullptr, 0, 0, 0);
  EXPECT_FALSE(IsValidPolicyTable(t));
  t.entries[0] = Entry(1, nullptr, nullptr, 80, 90, 1);
  EXPECT_TRUE(IsValidPolicyTable(t));
  t.entries[0] = Entry(1, nullptr, nullptr, 0, 90, 1);
  EXPECT_FALSE(IsValidPolicyTable(t));
  t.entries[0] = Entry(1, nullptr, nullptr, 80, 90, 0);
  EXPECT_FALSE(IsValidPolicyTable(t));
  t.count = 33;
  EXPECT_FALSE(IsValidPolicyTable(t));
}

TEST(PolicyTable, FullTableFailsWithAccessDenied) {
  tagPOLICY_TABLE t{};
  for (uint16_t i = 0; i < 32; ++i) {
    ASSERT_TRUE(AddPolicyEntry(t, Entry(1, nullptr, nullptr, 1000 + i, 1000 + i, 1))) << i;
  }
  platform::SetLastError(0);
  EXPECT_FALSE(AddPolicyEntry(t, Entry(1, nullptr, nullptr, 2000, 2000, 1)));
  EXPECT_EQ(platform::GetLastError(), 5u);
  EXPECT_EQ(t.count, 32u);
}

TEST(PolicyTable, ConflictTest) {
  tagPOLICY_TABLE t{};
  ASSERT_TRUE(AddPolicyEntry(t, Entry(1, nullptr, nullptr, 85, 100, 1)));
  // Both have no address (so the addresses overlap) and the TCP ports overlap.
  EXPECT_FALSE(AddPolicyEntry(t, Entry(0, nullptr, nullptr, 80, 90, 1)));
  EXPECT_TRUE(AddPolicyEntry(t, Entry(0, nullptr, nullptr, 80, 90, 2)));
  // Address-only entries conflict when their ranges overlap.
  tagPOLICY_TABLE a{};
  ASSERT_TRUE(AddPolicyEntry(a, Entry(1, "10.0.0.1", "10.0.0.10", 0, 0, 0)));
  EXPECT_FALSE(AddPolicyEntry(a, Entry(1, "10.0.0.5", "10.0.0.20", 0, 0, 0)));
  EXPECT_TRUE(AddPolicyEntry(a, Entry(1, "10.0.0.11", "10.0.0.20", 0, 0, 0)));
  EXPECT_EQ(a.count, 2u);
}

TEST(PolicyTable, OutcomeDependsOnEntryOrder) {
  const tagPOLICY overlapsAddress = Entry(1, "10.0.0.1", "10.0.0.10", 53, 53, 2);
  const tagPOLICY overlapsPorts = Entry(1, "192.168.0.1", "192.168.0.1", 70, 90, 1);
  const tagPOLICY n = Entry(0, "10.0.0.5", "10.0.0.5", 80, 80, 1);
  tagPOLICY_TABLE first{};
  ASSERT_TRUE(AddPolicyEntry(first, overlapsAddress));
  ASSERT_TRUE(AddPolicyEntry(first, overlapsPorts));
  EXPECT_FALSE(AddPolicyEntry(first, n));
  tagPOLICY_TABLE second{};
  ASSERT_TRUE(AddPolicyEntry(second, overlapsPorts));
  ASSERT_TRUE(AddPolicyEntry(second, overlapsAddress));
  EXPECT_TRUE(AddPolicyEntry(second, n));
}

TEST(PolicyTable, ModifyAndDelete) {
  tagPOLICY_TABLE t{};
  const tagPOLICY a = Entry(1, nullptr, nullptr, 80, 80, 1);
  const tagPOLICY b = Entry(1, nullptr, nullptr, 443, 443, 1);
  const tagPOLICY c = Entry(0, nullptr, nullptr, 25, 25, 1);
  ASSERT_TRUE(AddPolicyEntry(t, a));
  ASSERT_TRUE(AddPolicyEntry(t, b));
  ASSERT_TRUE(AddPolicyEntry(t, c));
  // Replacing an entry with a version of itself does not conflict with itself...
  EXPECT_TRUE(ModifyPolicyEntry(t, a, Entry(0, nullptr, nullptr, 79, 81, 1)));
  // ...but does with the others, and an unknown old entry fails.
  EXPECT_FALSE(ModifyPolicyEntry(t, b, Entry(1, nullptr, nullptr, 20, 30, 1)));
  EXPECT_FALSE(ModifyPolicyEntry(t, a, Entry(1, nullptr, nullptr, 1, 1, 1)));
  EXPECT_EQ(t.entries[0].beginPort, 79);

  tagPOLICY_TABLE before = t;
  DeletePolicyEntry(t, Entry(1, nullptr, nullptr, 9, 9, 1));
  EXPECT_EQ(std::memcmp(&before, &t, sizeof(t)), 0);
  DeletePolicyEntry(t, b);
  ASSERT_EQ(t.count, 2u);
  EXPECT_EQ(t.entries[1].beginPort, 25);
  EXPECT_EQ(t.entries[2].beginPort, 0);
}

TEST(RuleText, ProgramItems) {
  tagFIREWALL_PROGRAM p{};
  ASSERT_TRUE(ParseProgramItem("1,/usr/bin/firefox", &p));
  EXPECT_EQ(p.action, 1);
  EXPECT_STREQ(p.path, "/usr/bin/firefox");
  // Consecutive commas are one separator.
  ASSERT_TRUE(ParseProgramItem("0,,,/usr/bin/curl", &p));
  EXPECT_STREQ(p.path, "/usr/bin/curl");
  EXPECT_FALSE(ParseProgramItem("1,/a,/b", &p));
  EXPECT_FALSE(ParseProgramItem("/a", &p));
  EXPECT_STREQ(p.path, "/usr/bin/curl");
  std::string longPath = "1," + std::string(400, 'x');
  ASSERT_TRUE(ParseProgramItem(longPath, &p));
  EXPECT_EQ(std::strlen(p.path), 259u);
}

TEST(RuleText, PortIpItemsAndLists) {
  tagFIREWALL_PORTIP r{};
  ASSERT_TRUE(ParsePortIpItem("1,80,88,10.0.0.1,10.0.0.255,1,web,1", &r));
  EXPECT_EQ(r.action, 1);
  EXPECT_EQ(r.beginPort, 80);
  EXPECT_EQ(r.endPort, 88);
  EXPECT_EQ(r.beginIp, 0x0A000001u);
  EXPECT_EQ(r.endIp, 0x0A0000FFu);
  EXPECT_EQ(r.protocol, 1);
  EXPECT_STREQ(r.description, "web");
  EXPECT_EQ(r.portType, 1);
  // Out-of-range fields refuse the item and leave the record as it was.
  for (const char* bad :
       {"0,0,0,256.1.1.1,1.2.3.4,4,x,4", "1,80,80,10.0,10.0.0.1,1,x,1",
        "1,70000,70000,0.0.0.0,0.0.0.0,1,x,1", "1,80,80,1.2.3.4.5,1.2.3.4,1,x,1",
        "1,-1,80,0.0.0.0,0.0.0.0,1,x,1", "1,80,80,0.0.0.0,0.0.0.0,99999999999,x,1",
        "7,80,80,0.0.0.0,0.0.0.0,1,x,1", "1,80,80,1..2.3,1.2.3.4,1,x,1"}) {
    EXPECT_FALSE(ParsePortIpItem(bad, &r)) << bad;
  }
  EXPECT_EQ(r.beginPort, 80);
  tagFIREWALL_PROGRAM program{};
  EXPECT_FALSE(ParseProgramItem("x,/bin/ls", &program));
  EXPECT_FALSE(ParseProgramItem("2,/bin/ls", &program));
  EXPECT_FALSE(ParsePortIpItem("1,80,88,10.0.0.1,10.0.0.255,1,web", &r));

  std::vector<tagFIREWALL_PROGRAM> programs;
  EXPECT_TRUE(ParseProgramList("1,/a;0,/b;;", &programs));
  ASSERT_EQ(programs.size(), 2u);
  EXPECT_STREQ(programs[1].path, "/b");
  EXPECT_FALSE(ParseProgramList("1,/a;0", &programs));
  EXPECT_TRUE(programs.empty());
  std::string many;
  for (int i = 0; i < 51; ++i) many += "1,/p" + std::to_string(i) + ";";
  EXPECT_FALSE(ParseProgramList(many, &programs));
  EXPECT_TRUE(programs.empty());
  std::vector<tagFIREWALL_PORTIP> ports;
  EXPECT_TRUE(
      ParsePortIpList("1,80,80,0.0.0.0,0.0.0.0,1,http,2;0,0,0,1.1.1.1,1.1.1.2,4,dns,4", &ports));
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[1].endIp, 0x01010102u);
}

TEST(RuleText, DisplayWords) {
  EXPECT_STREQ(ProgramActionWord(2), "Policy");
  EXPECT_STREQ(PortIpActionWord(0), "Block");
  EXPECT_STREQ(ProtocolWord(4), "ALL");
  EXPECT_STREQ(PortTypeWord(3), "Hacking Tool Port");
  EXPECT_STREQ(PortTypeWord(4), "");
}

}  // namespace
}  // namespace qxfw::store
