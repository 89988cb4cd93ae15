#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "platform/address_text.h"
#include "platform/path_text.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::platform {
namespace {

TEST(PathText, NormalizesKernelAndShellForms) {
  test_support::ScopedEnv home("HOME", "/home/ann");
  test_support::ScopedEnv var("QXFW_TEST_DIR", "/opt/tool");
  EXPECT_EQ(NormalizePath("/usr/bin/firefox-esr (deleted)"), "/usr/bin/firefox-esr");
  EXPECT_EQ(NormalizePath("/usr//lib/./x/../bin/app"), "/usr/lib/bin/app");
  EXPECT_EQ(NormalizePath("/../../etc"), "/etc");
  EXPECT_EQ(NormalizePath("~/bin/run"), "/home/ann/bin/run");
  EXPECT_EQ(NormalizePath("$QXFW_TEST_DIR/bin/../app"), "/opt/tool/app");
  EXPECT_EQ(NormalizePath("${QXFW_TEST_DIR}x"), "/opt/toolx");
  EXPECT_EQ(NormalizePath("$QXFW_NO_SUCH_VAR/app"), "/app");
  EXPECT_EQ(NormalizePath("a/b/../../.."), "..");
  EXPECT_EQ(NormalizePath("~user/x"), "~user/x");
  EXPECT_EQ(NormalizePath("/usr/bin/app", 5), "/usr");
  EXPECT_EQ(ExpandEnvironment("cost $ 5 and ${UNCLOSED"), "cost $ 5 and ${UNCLOSED");
}

TEST(PathText, ExecutableProgramTest) {
  test_support::TempDir dir;
  auto make = [&](const std::string& name, const std::string& content, mode_t mode) {
    return test_support::WriteTextFile(dir.path() + "/" + name, content, mode);
  };
  EXPECT_TRUE(IsExecutableProgram(make("script", "#!/bin/sh\n", 0755)));
  EXPECT_TRUE(IsExecutableProgram(make("elf",
                                       "\x7f"
                                       "ELF....",
                                       0700)));
  EXPECT_FALSE(IsExecutableProgram(make("text", "hello", 0755)));
  EXPECT_FALSE(IsExecutableProgram(make("noexec", "#!/bin/sh\n", 0644)));
  EXPECT_TRUE(IsExecutableProgram(make("setup.EXE", "MZ", 0644)));
  EXPECT_FALSE(IsExecutableProgram(dir.path()));
  EXPECT_FALSE(IsExecutableProgram(dir.path() + "/missing"));
  EXPECT_TRUE(IsExecutableProgram("/bin/sh"));
  EXPECT_EQ(FileNameOf("/usr/bin/ls"), "ls");
  EXPECT_EQ(FileNameOf("ls"), "ls");
}

TEST(AddressText, BothByteOrdersAndParsing) {
  EXPECT_EQ(HostAddressText(0x0A000001), "10.0.0.1");
  uint32_t network = 0;
  unsigned char bytes[4] = {192, 168, 1, 20};
  std::memcpy(&network, bytes, 4);
  EXPECT_STREQ(NetworkAddressText(network), "192.168.1.20");
  char buffer[16];
  NetworkAddressText(network, buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "192.168.1.20");
  EXPECT_EQ(ParseHostAddress("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHostAddress("10.0.0.1"), 0x0A000001u);
  EXPECT_EQ(ParseHostAddress("256.1.1.1"), 0u);
  EXPECT_EQ(ParseHostAddress("1.2.3.999"), 0u);
  EXPECT_EQ(ParseHostAddress("1.2.3"), 0u);
  EXPECT_EQ(ParseHostAddress("-1.2.3.4"), 0u);
  EXPECT_EQ(ParseHostAddress(""), 0u);
  EXPECT_EQ(ParseHostAddress(nullptr), 0u);
}

}  // namespace
}  // namespace qxfw::platform
