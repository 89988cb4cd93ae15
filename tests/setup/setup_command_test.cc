#include "setup/setup_command.h"

#include <gtest/gtest.h>

namespace qxfw::setup {
namespace {

TEST(SetupCommandTest, WholeTextIgnoringCaseSelectsTheCommand) {
  EXPECT_EQ(ParseSetupCommand("/Install"), SetupCommand::kInstall);
  EXPECT_EQ(ParseSetupCommand("/install"), SetupCommand::kInstall);
  EXPECT_EQ(ParseSetupCommand("/INSTALL"), SetupCommand::kInstall);
  EXPECT_EQ(ParseSetupCommand("/uninstall"), SetupCommand::kUninstall);
  EXPECT_EQ(ParseSetupCommand("/startdriver"), SetupCommand::kStartDriver);
  EXPECT_EQ(ParseSetupCommand("/STOPDRIVER"), SetupCommand::kStopDriver);
}

TEST(SetupCommandTest, AnythingMoreOrLessSelectsNothing) {
  EXPECT_EQ(ParseSetupCommand("/Install x"), SetupCommand::kNone);
  EXPECT_EQ(ParseSetupCommand("/Install "), SetupCommand::kNone);
  EXPECT_EQ(ParseSetupCommand(" /Install"), SetupCommand::kNone);
  EXPECT_EQ(ParseSetupCommand("/Instal"), SetupCommand::kNone);
  EXPECT_EQ(ParseSetupCommand("Install"), SetupCommand::kNone);
  EXPECT_EQ(ParseSetupCommand(""), SetupCommand::kNone);
  const char* argv[] = {"qxfwsetup", "/Install", "x"};
  EXPECT_EQ(ParseSetupCommand(JoinArguments(3, argv)), SetupCommand::kNone);
  EXPECT_EQ(ParseSetupCommand(JoinArguments(2, argv)), SetupCommand::kInstall);
  EXPECT_EQ(ParseSetupCommand("--help"), SetupCommand::kNone);
}

TEST(SetupCommandTest, OnlyTheWholeHelpWordAsksForHelp) {
  EXPECT_TRUE(IsHelpRequest("--help"));
  EXPECT_TRUE(IsHelpRequest("-h"));
  for (const char* text : {"--HELP", "-H", "help", "/?", "--help x", " --help", "/Install"}) {
    EXPECT_FALSE(IsHelpRequest(text)) << text;
  }
}

}  // namespace
}  // namespace qxfw::setup
