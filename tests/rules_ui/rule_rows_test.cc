// Row texts and header orders of the program, IP/port and policy lists.
#include "rules_ui/rule_rows.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qxfw::rules_ui;
using qxfw::store::tagFIREWALL_PORTIP;
using qxfw::store::tagFIREWALL_PROGRAM;
using qxfw::store::tagPOLICY;

namespace {

tagFIREWALL_PROGRAM Program(const char* path, int16_t action) {
  tagFIREWALL_PROGRAM rule{};
  rule.action = action;
  std::strncpy(rule.path, path, sizeof(rule.path) - 1);
  return rule;
}

tagFIREWALL_PORTIP PortRule(uint32_t beginIp, uint32_t endIp, uint16_t beginPort, uint16_t endPort,
                            uint16_t protocol = 1, int16_t action = 1) {
  tagFIREWALL_PORTIP rule{};
  rule.beginIp = beginIp;
  rule.endIp = endIp;
  rule.beginPort = beginPort;
  rule.endPort = endPort;
  rule.protocol = protocol;
  rule.action = action;
  return rule;
}

std::vector<std::string> Paths(const std::vector<tagFIREWALL_PROGRAM>& rules) {
  std::vector<std::string> paths;
  for (const auto& r : rules) paths.emplace_back(r.path);
  return paths;
}

}  // namespace

TEST(RuleRowsTest, ProgramRowTexts) {
  EXPECT_EQ(ProgramFileName("/usr/bin/foo"), "foo");
  EXPECT_EQ(ProgramFileName("foo"), "foo");
  EXPECT_EQ(ProgramFileName("/usr/bin/"), "");
  EXPECT_EQ(ProgramActionString(0), 11);
  EXPECT_EQ(ProgramActionString(1), 10);
  EXPECT_EQ(ProgramActionString(2), 12);
  EXPECT_EQ(ProgramActionString(3), -1);
}

TEST(RuleRowsTest, PortRowTexts) {
  // Address only: ":*" on both ends, protocol ALL.
  tagFIREWALL_PORTIP addressOnly = PortRule(0x0A000001, 0x0A000009, 0, 0, 4);
  EXPECT_EQ(PortIpEndText(addressOnly, false), "10.0.0.1:*");
  EXPECT_EQ(PortIpEndText(addressOnly, true), "10.0.0.9:*");
  EXPECT_STREQ(PortIpProtocolText(addressOnly.protocol), "ALL");
  // Port only.
  tagFIREWALL_PORTIP portOnly = PortRule(0, 0, 80, 80);
  EXPECT_EQ(PortIpEndText(portOnly, false), "*:80");
  EXPECT_EQ(PortIpEndText(portOnly, true), "*:80");
  tagFIREWALL_PORTIP both = PortRule(0xC0A80001, 0xC0A800FF, 1000, 2000, 2);
  EXPECT_EQ(PortIpEndText(both, false), "192.168.0.1:1000");
  EXPECT_EQ(PortIpEndText(both, true), "192.168.0.255:2000");
  EXPECT_STREQ(PortIpProtocolText(2), "UDP");
  EXPECT_STREQ(PortIpProtocolText(1), "TCP");
  EXPECT_STREQ(PortIpProtocolText(3), "");
  EXPECT_EQ(PortTypeString(1), 95);
  EXPECT_EQ(PortTypeString(2), 96);
  EXPECT_EQ(PortTypeString(3), 97);
  EXPECT_EQ(PortTypeString(4), -1);
  EXPECT_EQ(PortTypeString(0), -1);
  EXPECT_EQ(PortIpActionString(1), 10);
  EXPECT_EQ(PortIpActionString(0), 11);
  tagFIREWALL_PORTIP system = both;
  system.portType = 2;
  EXPECT_TRUE(IsProtectedPortRule(system));
  system.portType = 3;
  EXPECT_TRUE(IsProtectedPortRule(system));
  system.portType = 4;
  EXPECT_FALSE(IsProtectedPortRule(system));
}

TEST(RuleRowsTest, PolicyRowTexts) {
  tagPOLICY entry{};
  EXPECT_EQ(PolicyEndText(entry, false), "*:*");
  EXPECT_STREQ(PolicyPortText(entry), "");
  entry.beginPort = entry.endPort = 25;
  entry.protocol = 1;
  EXPECT_EQ(PolicyEndText(entry, true), "*:25");
  EXPECT_STREQ(PolicyPortText(entry), "TCP");
  entry.beginIp = 0x0A000001;
  entry.endIp = 0x0A000002;
  EXPECT_EQ(PolicyEndText(entry, false), "10.0.0.1:25");
  EXPECT_EQ(PolicyEndText(entry, true), "10.0.0.2:25");
  entry.beginPort = entry.endPort = 0;
  EXPECT_EQ(PolicyEndText(entry, true), "10.0.0.2:*");
  entry.beginPort = entry.endPort = 53;
  entry.protocol = 2;
  EXPECT_STREQ(PolicyPortText(entry), "UDP");
  EXPECT_EQ(PolicyActionString(1), 10);
  EXPECT_EQ(PolicyActionString(0), 11);
}

TEST(RuleRowsTest, ProgramSortByNamePathAndAction) {
  std::vector<tagFIREWALL_PROGRAM> rules = {Program("/opt/b/Zeta", 1), Program("/usr/bin/alpha", 0),
                                            Program("/a/Beta", 2), Program("/z/gamma", 1)};
  SortPrograms(rules, 0, true);
  EXPECT_EQ(Paths(rules),
            (std::vector<std::string>{"/usr/bin/alpha", "/a/Beta", "/z/gamma", "/opt/b/Zeta"}));
  SortPrograms(rules, 1, false);
  EXPECT_EQ(Paths(rules),
            (std::vector<std::string>{"/z/gamma", "/usr/bin/alpha", "/opt/b/Zeta", "/a/Beta"}));
  // Equal actions keep their order.
  SortPrograms(rules, 2, true);
  EXPECT_EQ(Paths(rules),
            (std::vector<std::string>{"/usr/bin/alpha", "/z/gamma", "/opt/b/Zeta", "/a/Beta"}));
  SortPrograms(rules, 2, false);
  EXPECT_EQ(Paths(rules),
            (std::vector<std::string>{"/a/Beta", "/z/gamma", "/opt/b/Zeta", "/usr/bin/alpha"}));
}

TEST(RuleRowsTest, SortStatesFollowEachViewsDirectionRules) {
  ProgramSortState program;
  EXPECT_EQ(program.Column(), 0);
  EXPECT_TRUE(program.Ascending());
  program.Click(2);
  EXPECT_TRUE(program.Ascending());
  program.Click(2);
  EXPECT_FALSE(program.Ascending());
  program.Click(2);
  EXPECT_TRUE(program.Ascending());
  program.Click(1);
  EXPECT_EQ(program.Column(), 1);
  EXPECT_TRUE(program.Ascending());

  PortSortState port;
  EXPECT_FALSE(port.Ascending());
  port.Click(3);
  EXPECT_TRUE(port.Ascending());
  port.Click(0);  // every click flips, whatever the column
  EXPECT_FALSE(port.Ascending());
  EXPECT_EQ(port.Column(), 0);
}

TEST(RuleRowsTest, PortSortKeys) {
  std::vector<tagFIREWALL_PORTIP> rules = {
      PortRule(0, 0, 80, 80, 2, 0), PortRule(0, 0, 25, 25, 1, 1), PortRule(0, 0, 443, 443, 4, 0)};
  auto begins = [&rules] {
    std::vector<int> ports;
    for (const auto& r : rules) ports.push_back(r.beginPort);
    return ports;
  };
  EXPECT_TRUE(SortPortRules(rules, 0, true));
  EXPECT_EQ(begins(), (std::vector<int>{25, 80, 443}));
  EXPECT_TRUE(SortPortRules(rules, 1, false));
  EXPECT_EQ(begins(), (std::vector<int>{443, 80, 25}));
  EXPECT_TRUE(SortPortRules(rules, 2, true));  // by protocol
  EXPECT_EQ(begins(), (std::vector<int>{25, 80, 443}));
  // The description column orders by action.
  EXPECT_TRUE(SortPortRules(rules, 3, false));
  EXPECT_EQ(begins(), (std::vector<int>{25, 80, 443}));
  EXPECT_TRUE(SortPortRules(rules, 3, true));
  EXPECT_EQ(begins(), (std::vector<int>{80, 443, 25}));
  // Port type and action columns leave the order alone.
  EXPECT_FALSE(SortPortRules(rules, 4, false));
  EXPECT_FALSE(SortPortRules(rules, 5, false));
  EXPECT_EQ(begins(), (std::vector<int>{80, 443, 25}));
}
