#include "shell/browser_flags.h"

#include <gtest/gtest.h>

namespace qxfw::shell {
namespace {

// The zygote may only be left out where the user already runs without the sandbox; the
// sandbox itself is never switched off by the program.
TEST(BrowserFlags, ZygotesGoOnlyWhereTheSandboxIsOffAlready) {
  EXPECT_FALSE(SandboxOff(nullptr, ""));
  EXPECT_FALSE(SandboxOff("", "--enable-logging"));
  EXPECT_TRUE(SandboxOff("1", ""));
  EXPECT_TRUE(SandboxOff(nullptr, "--enable-logging --no-sandbox"));

  const std::string sandboxed = BrowserFlags("", false);
  EXPECT_EQ(sandboxed.find("--no-sandbox"), std::string::npos);
  EXPECT_EQ(sandboxed.find("--no-zygote"), std::string::npos);
  EXPECT_NE(sandboxed.find("--renderer-process-limit=1"), std::string::npos);
  // Sandboxed, the renderers still start from the sandboxed zygote; only the unsandboxed one,
  // which nothing here needs, is left out.
  EXPECT_NE(sandboxed.find("--no-unsandboxed-zygote"), std::string::npos);
  const std::string unsandboxed = BrowserFlags("", true);
  EXPECT_NE(unsandboxed.find("--no-zygote"), std::string::npos);
  EXPECT_EQ(unsandboxed.find("--no-unsandboxed-zygote"), std::string::npos);
}

// The user's own switches come last, so they win over the program's.
TEST(BrowserFlags, TheUsersSwitchesComeLast) {
  const std::string flags = BrowserFlags("--renderer-process-limit=4", false);
  EXPECT_GT(flags.rfind("--renderer-process-limit=4"), flags.find("--renderer-process-limit=1"));
  EXPECT_EQ(flags.substr(flags.size() - 26), "--renderer-process-limit=4");
}

}  // namespace
}  // namespace qxfw::shell
