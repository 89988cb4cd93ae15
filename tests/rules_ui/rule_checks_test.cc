// What the rule dialogs accept on OK, and their enable cascades.
#include "rules_ui/rule_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace qxfw::rules_ui;
using qxfw::store::tagFIREWALL_PORTIP;
using qxfw::store::tagFIREWALL_PROGRAM;
using qxfw::store::tagPOLICY;

namespace {

std::map<int, ControlState> ById(const std::vector<ControlState>& states) {
  std::map<int, ControlState> map;
  for (const auto& s : states) map.emplace(s.id, s);
  return map;
}

PortFields PortOnly(const char* begin, const char* end = "") {
  PortFields f;
  f.ipChecked = false;
  f.beginPort = begin;
  f.endPort = end;
  f.rangeChecked = end[0] != '\0';
  f.description = "web";
  return f;
}

}  // namespace

TEST(RuleChecksTest, PortFieldsAreRangeCheckedBeforeNarrowing) {
  EXPECT_EQ(ParsePortField(""), 0);
  EXPECT_EQ(ParsePortField("80"), 80);
  EXPECT_EQ(ParsePortField(" 65535 "), 65535);
  EXPECT_EQ(ParsePortField("65536"), std::nullopt);
  EXPECT_EQ(ParsePortField("65537"), std::nullopt);  // would read as 1 in 16 bits
  EXPECT_EQ(ParsePortField("70000"), std::nullopt);  // would read as 4464
  EXPECT_EQ(ParsePortField("4294967297"), std::nullopt);
  EXPECT_EQ(ParsePortField("-1"), std::nullopt);
  EXPECT_EQ(ParsePortField("8o"), std::nullopt);
}

TEST(RuleChecksTest, AddressFields) {
  EXPECT_EQ(ParseAddressField("10.0.0.1"), 0x0A000001u);
  EXPECT_EQ(ParseAddressField("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseAddressField(""), 0u);
  EXPECT_EQ(ParseAddressField("10.0"), 0u);
  EXPECT_EQ(ParseAddressField("10.0.0.1.5"), 0u);
  EXPECT_EQ(ParseAddressField("256.1.1.1"), 0u);
  EXPECT_EQ(ParseAddressField("10.0.0.1x"), 0u);
}

TEST(RuleChecksTest, ProgramDialog) {
  tagFIREWALL_PROGRAM rule{};
  rule.policySlot = 7;
  EXPECT_EQ(CheckProgramFields({"", 1, 0}, &rule).message, 84);
  CheckResult noPolicy = CheckProgramFields({"/usr/bin/foo", 2, 0}, &rule);
  EXPECT_EQ(noPolicy.message, 85);
  EXPECT_EQ(noPolicy.caption, 196);
  EXPECT_EQ(rule.path[0], '\0');  // untouched until accepted
  // A path longer than the record holds is refused, not cut.
  EXPECT_EQ(CheckProgramFields({"/" + std::string(259, 'a'), 1, 0}, &rule).message, 94);
  EXPECT_TRUE(CheckProgramFields({"/" + std::string(258, 'a'), 1, 0}, &rule).Accepted());
  EXPECT_TRUE(CheckProgramFields({"/usr/bin/foo", 2, 1}, &rule).Accepted());
  EXPECT_STREQ(rule.path, "/usr/bin/foo");
  EXPECT_EQ(rule.action, 2);
  EXPECT_EQ(rule.policySlot, 7);
  EXPECT_TRUE(CheckProgramFields({"/usr/bin/bar", 0, 0}, &rule).Accepted());
  EXPECT_STREQ(rule.path, "/usr/bin/bar");
  EXPECT_EQ(rule.action, 0);
}

TEST(RuleChecksTest, PortDialogAddresses) {
  tagFIREWALL_PORTIP before{}, rule{};
  PortFields f;
  f.ipChecked = f.portChecked = false;
  EXPECT_EQ(CheckPortFields(f, before, &rule).message, 90);
  EXPECT_EQ(CheckPortFields(f, before, &rule).caption, 194);
  f.ipChecked = true;
  f.beginIp = "10.0.0.1";
  f.endIp = "";
  EXPECT_EQ(CheckPortFields(f, before, &rule).message, 86);
  f.beginIp = "10.0.0.9";
  f.endIp = "10.0.0.1";
  CheckResult order = CheckPortFields(f, before, &rule);
  EXPECT_EQ(order.message, 91);
  EXPECT_EQ(order.caption, 207);
  // Address only: protocol ALL, port type 4, no ports, no description.
  f.beginIp = "10.0.0.1";
  f.endIp = "10.0.0.9";
  f.allow = false;
  std::strcpy(before.description, "old");
  ASSERT_TRUE(CheckPortFields(f, before, &rule).Accepted());
  EXPECT_EQ(rule.beginIp, 0x0A000001u);
  EXPECT_EQ(rule.endIp, 0x0A000009u);
  EXPECT_EQ(rule.protocol, 4);
  EXPECT_EQ(rule.portType, 4);
  EXPECT_EQ(rule.beginPort, 0);
  EXPECT_EQ(rule.endPort, 0);
  EXPECT_EQ(rule.description[0], '\0');
  EXPECT_EQ(rule.action, 0);
}

TEST(RuleChecksTest, ProtectedAddressOnlyRuleStaysProtected) {
  tagFIREWALL_PORTIP before{}, rule{};
  before.beginIp = 0x0A000001;
  before.endIp = 0x0A000002;
  before.protocol = 4;
  before.portType = 2;
  PortFields f;
  f.portChecked = false;
  f.beginIp = "10.0.0.1";
  f.endIp = "10.0.0.2";
  f.allow = false;
  ASSERT_TRUE(CheckPortFields(f, before, &rule).Accepted());
  EXPECT_EQ(rule.portType, 2);
  EXPECT_EQ(rule.action, 0);
  before.portType = 3;
  ASSERT_TRUE(CheckPortFields(f, before, &rule).Accepted());
  EXPECT_EQ(rule.portType, 3);
}

TEST(RuleChecksTest, PortDialogPorts) {
  tagFIREWALL_PORTIP before{}, rule{};
  EXPECT_EQ(CheckPortFields(PortOnly("0"), before, &rule).message, 87);
  EXPECT_EQ(CheckPortFields(PortOnly("70000"), before, &rule).message, 87);
  EXPECT_EQ(CheckPortFields(PortOnly("65537"), before, &rule).message, 87);
  EXPECT_EQ(CheckPortFields(PortOnly("100", "70000"), before, &rule).message, 87);
  EXPECT_EQ(CheckPortFields(PortOnly("100", "99"), before, &rule).message, 92);
  PortFields blank = PortOnly("80");
  blank.description = "  ";
  CheckResult noDescription = CheckPortFields(blank, before, &rule);
  EXPECT_EQ(noDescription.message, 93);
  EXPECT_EQ(noDescription.caption, 194);
  // The end port counts only with the range box checked.
  PortFields single = PortOnly("80");
  single.endPort = "10";
  single.tcp = false;
  ASSERT_TRUE(CheckPortFields(single, before, &rule).Accepted());
  EXPECT_EQ(rule.beginPort, 80);
  EXPECT_EQ(rule.endPort, 80);
  EXPECT_EQ(rule.protocol, 2);
  EXPECT_EQ(rule.beginIp, 0u);
  EXPECT_STREQ(rule.description, "web");
  // The description is cut to what the dialog takes.
  PortFields longText = PortOnly("1000", "2000");
  longText.description = std::string(40, 'd');
  ASSERT_TRUE(CheckPortFields(longText, before, &rule).Accepted());
  EXPECT_EQ(std::string(rule.description), std::string(31, 'd'));
  EXPECT_EQ(rule.protocol, 1);
  EXPECT_EQ(rule.endPort, 2000);
}

TEST(RuleChecksTest, PolicyDialog) {
  tagPOLICY entry{};
  PolicyFields f;
  f.ipChecked = f.portChecked = false;
  EXPECT_EQ(CheckPolicyFields(f, &entry).message, 193);
  EXPECT_EQ(CheckPolicyFields(f, &entry).caption, 206);
  // Addresses only.
  f.ipChecked = true;
  f.beginIp = "192.168.0.1";
  f.endIp = "192.168.0.255";
  ASSERT_TRUE(CheckPolicyFields(f, &entry).Accepted());
  EXPECT_EQ(entry.beginPort, 0);
  EXPECT_EQ(entry.protocol, 0);
  EXPECT_EQ(entry.endIp, 0xC0A800FFu);
  f.endIp = "192.168.0.1";  // equal ends are fine
  EXPECT_TRUE(CheckPolicyFields(f, &entry).Accepted());
  f.endIp = "";
  EXPECT_EQ(CheckPolicyFields(f, &entry).message, 182);
  f.beginIp = "192.168.0.2";
  f.endIp = "192.168.0.1";
  EXPECT_EQ(CheckPolicyFields(f, &entry).message, 184);
  // Ports only.
  f.ipChecked = false;
  f.portChecked = true;
  f.beginPort = "1000";
  f.endPort = "999";
  EXPECT_EQ(CheckPolicyFields(f, &entry).message, 185);
  f.endPort = "65536";
  EXPECT_EQ(CheckPolicyFields(f, &entry).message, 183);
  f.endPort = "65537";
  EXPECT_EQ(CheckPolicyFields(f, &entry).message, 183);
  f.endPort = "1000";
  f.tcp = false;
  f.allow = false;
  ASSERT_TRUE(CheckPolicyFields(f, &entry).Accepted());
  EXPECT_EQ(entry.protocol, 2);
  EXPECT_EQ(entry.action, 0);
  EXPECT_EQ(entry.beginIp, 0u);
}

TEST(RuleChecksTest, Cascades) {
  auto add = ById(ProgramDialogStates(false, false, false));
  EXPECT_TRUE(add.at(1005).enabled);
  EXPECT_FALSE(add.at(1014).enabled);
  EXPECT_FALSE(add.at(1017).enabled);
  auto advanced = ById(ProgramDialogStates(true, true, false));
  EXPECT_FALSE(advanced.at(1005).enabled);
  EXPECT_FALSE(advanced.at(1004).enabled);
  EXPECT_TRUE(advanced.at(1015).enabled);
  EXPECT_TRUE(advanced.at(1009).enabled);
  auto policyOnly = ById(ProgramDialogStates(false, false, true));
  EXPECT_FALSE(policyOnly.at(1009).enabled);
  EXPECT_FALSE(policyOnly.at(1010).enabled);
  EXPECT_TRUE(policyOnly.at(1014).enabled);

  auto port = ById(PortDialogStates(false, true, false, false));
  EXPECT_FALSE(port.at(1020).enabled);
  EXPECT_TRUE(port.at(1022).enabled);
  EXPECT_TRUE(port.at(1050).enabled);
  EXPECT_FALSE(port.at(1023).visible);
  EXPECT_FALSE(port.at(1055).visible);
  auto range = ById(PortDialogStates(true, false, true, false));
  EXPECT_TRUE(range.at(1021).enabled);
  EXPECT_FALSE(range.at(1056).enabled);
  EXPECT_FALSE(range.at(1024).enabled);
  EXPECT_TRUE(range.at(1023).visible);
  auto system = ById(PortDialogStates(true, true, false, true));
  for (int id : {1140, 1125, 1056, 1022, 1024, 1025, 1050, 1020, 1021})
    EXPECT_FALSE(system.at(id).enabled) << id;

  auto policy = ById(PolicyDialogStates(true, false));
  EXPECT_TRUE(policy.at(1020).enabled);
  for (int id : {1022, 1023, 1024, 1025}) EXPECT_FALSE(policy.at(id).enabled) << id;
}
