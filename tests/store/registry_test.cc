#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_store.h"
#include "store/registry.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

using namespace platform;
using test_support::ScopedEnv;
using test_support::TempDir;

class CRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegKey key;
    ASSERT_EQ(key.Create(RegRoot::kLocalMachine, kKey, kKeyAllAccess), kErrorSuccess);
    ASSERT_EQ(key.SetString("Text", "hello"), kErrorSuccess);
    ASSERT_EQ(key.SetString("Expand", "$HOME/x", kRegExpandSz), kErrorSuccess);
    ASSERT_EQ(key.SetDword("Number", 7), kErrorSuccess);
    ASSERT_EQ(key.SetValue("Unterminated", kRegSz, "abc", 3), kErrorSuccess);
    ASSERT_EQ(key.SetValue("Empty", kRegSz, nullptr, 0), kErrorSuccess);
  }

  static constexpr char kKey[] = "SOFTWARE\\Test\\Values";
  TempDir dir_;
  ScopedEnv registry_{"QXFW_REGISTRY_DIR", dir_.path()};
};

TEST_F(CRegistryTest, QueryStringChecksTypeAndTerminator) {
  CRegistry reg;
  ASSERT_EQ(reg.Open(RegRoot::kLocalMachine, kKey, kKeyQueryValue), kErrorSuccess);
  char buffer[32];
  uint32_t size = sizeof(buffer);
  ASSERT_EQ(reg.QueryString("text", buffer, &size), kErrorSuccess);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(size, 6u);
  size = sizeof(buffer);
  ASSERT_EQ(reg.QueryString("Expand", buffer, &size), kErrorSuccess);
  EXPECT_STREQ(buffer, "$HOME/x");
  size = sizeof(buffer);
  EXPECT_EQ(reg.QueryString("Number", buffer, &size), kErrorInvalidData);
  size = sizeof(buffer);
  EXPECT_EQ(reg.QueryString("Unterminated", buffer, &size), kErrorInvalidData);
  size = sizeof(buffer);
  buffer[0] = 'x';
  ASSERT_EQ(reg.QueryString("Empty", buffer, &size), kErrorSuccess);
  EXPECT_STREQ(buffer, "");
  size = 3;
  EXPECT_EQ(reg.QueryString("Text", buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 6u);
  size = sizeof(buffer);
  EXPECT_EQ(reg.QueryString("Absent", buffer, &size), kErrorFileNotFound);

  uint32_t values = 0, subkeys = 9;
  ASSERT_EQ(reg.QueryInfo(&values, &subkeys), kErrorSuccess);
  EXPECT_EQ(values, 5u);
  EXPECT_EQ(subkeys, 0u);
  std::string name;
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(reg.EnumValue(2, &name, &type, &data), kErrorSuccess);
  EXPECT_EQ(name, "Number");
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(data, std::string("\x07\0\0\0", 4));

  // A failed Open keeps the key; Close drops it.
  EXPECT_EQ(reg.Open(RegRoot::kLocalMachine, "SOFTWARE\\Nothing", kKeyQueryValue),
            kErrorFileNotFound);
  EXPECT_EQ(reg.QueryInfo(&values), kErrorSuccess);
  reg.Close();
  EXPECT_EQ(reg.QueryInfo(&values), kErrorInvalidHandle);
}

TEST_F(CRegistryTest, KnownDllPathsFollowTheImageCacheWalk) {
  constexpr char kKnown[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";
  {
    // No such key exists on this system until something makes one.
    CRegistry absent;
    EXPECT_EQ(absent.Open(RegRoot::kLocalMachine, kKnown, kKeyQueryValue), kErrorFileNotFound);
  }
  ScopedEnv libdir("QXFW_TEST_LIBDIR", "/usr/lib/x86_64-linux-gnu");
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::kLocalMachine, kKnown, kKeyAllAccess), kErrorSuccess);
  ASSERT_EQ(key.SetString("libc", "libc.so.6"), kErrorSuccess);
  ASSERT_EQ(key.SetString("DllDirectory", "${QXFW_TEST_LIBDIR}/sys", kRegExpandSz), kErrorSuccess);
  ASSERT_EQ(key.SetDword("Flags", 1), kErrorSuccess);
  ASSERT_EQ(key.SetString("libm", "libm.so.6"), kErrorSuccess);

  CRegistry reg;
  ASSERT_EQ(reg.Open(RegRoot::kLocalMachine, kKnown, kKeyQueryValue), kErrorSuccess);
  uint32_t count = 0;
  ASSERT_EQ(reg.QueryInfo(&count), kErrorSuccess);
  ASSERT_EQ(count, 4u);
  std::vector<long> results;
  std::vector<std::string> paths;
  char buffer[260];
  for (uint32_t index = 0; index < count; ++index) {
    long result = reg.GetKnownDllPath(index, buffer, sizeof(buffer));
    results.push_back(result);
    if (result == kErrorSuccess) paths.push_back(buffer);
    if (result == kErrorNoMoreItems) break;
  }
  EXPECT_EQ(results, (std::vector<long>{kErrorSuccess, kErrorInvalidData, kErrorInvalidData,
                                        kErrorSuccess}));
  EXPECT_EQ(paths, (std::vector<std::string>{"/usr/lib/x86_64-linux-gnu/sys/libc.so.6",
                                             "/usr/lib/x86_64-linux-gnu/sys/libm.so.6"}));
  EXPECT_EQ(reg.GetKnownDllPath(4, buffer, sizeof(buffer)), kErrorNoMoreItems);
  EXPECT_EQ(reg.GetKnownDllPath(0, buffer, 10), kErrorMoreData);

  // The directory is read once per object.
  ASSERT_EQ(key.SetString("DllDirectory", "/elsewhere", kRegExpandSz), kErrorSuccess);
  ASSERT_EQ(reg.GetKnownDllPath(0, buffer, sizeof(buffer)), kErrorSuccess);
  EXPECT_STREQ(buffer, "/usr/lib/x86_64-linux-gnu/sys/libc.so.6");
  CRegistry fresh;
  ASSERT_EQ(fresh.Open(RegRoot::kLocalMachine, kKnown, kKeyQueryValue), kErrorSuccess);
  ASSERT_EQ(fresh.GetKnownDllPath(0, buffer, sizeof(buffer)), kErrorSuccess);
  EXPECT_STREQ(buffer, "/elsewhere/libc.so.6");
  // Only a directory value of plain string type is skipped as the directory.
  EXPECT_EQ(fresh.GetKnownDllPath(1, buffer, sizeof(buffer)), kErrorInvalidData);
  ASSERT_EQ(key.SetString("DllDirectory", "/plain", kRegSz), kErrorSuccess);
  EXPECT_EQ(fresh.GetKnownDllPath(1, buffer, sizeof(buffer)), kErrorNoData);
}

}  // namespace
}  // namespace qxfw::store
