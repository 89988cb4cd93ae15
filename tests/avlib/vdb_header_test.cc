// The ".vdb" header tests that decide which databases are loaded, and their order.
#include "avlib/vdb_header.h"

#include <gtest/gtest.h>

#include "avlib/database_list.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::avlib {
namespace {

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(VdbHeader, FindsTheTagAtAlignedOffsetsWithinTheFirst512Bytes) {
  std::vector<uint8_t> header = BuildVdbHeader("ndb", "main", 0xBEEF, 0x1234, 99);
  VdbHeader parsed;
  ASSERT_TRUE(ParseVdbHeader(header.data(), header.size(), &parsed));
  EXPECT_EQ(parsed.tagOffset, 0u);
  EXPECT_EQ(parsed.version, 0xBEEF);
  EXPECT_EQ(parsed.priority, 0x1234);
  EXPECT_EQ(parsed.payloadType, "ndb");
  EXPECT_EQ(parsed.payloadLength, 99u);
  EXPECT_EQ(parsed.name, "main");

  // The tag moved to offset 436 (the last that leaves 74 bytes inside 512) and to 440; the
  // file goes on past 512 bytes, but only the first 512 count.
  for (size_t at : {size_t(436), size_t(440)}) {
    std::vector<uint8_t> moved(600, 0);
    std::copy(header.begin(), header.begin() + 74, moved.begin() + at);
    EXPECT_EQ(ParseVdbHeader(moved.data(), moved.size(), &parsed), at == 436) << at;
  }
  // Unaligned tags are not looked for.
  std::vector<uint8_t> unaligned(512, 0);
  std::copy(header.begin(), header.begin() + 74, unaligned.begin() + 2);
  EXPECT_FALSE(ParseVdbHeader(unaligned.data(), unaligned.size(), &parsed));
  // B keeps only its low 15 bits.
  header[70] = 0xFF;
  header[71] = 0xFF;
  header[72] = 0xFF;
  ASSERT_TRUE(ParseVdbHeader(header.data(), header.size(), &parsed));
  EXPECT_EQ(parsed.priority, 0x7FFF);
}

TEST(VdbHeader, RefusesCutAndDamagedHeaders) {
  std::vector<uint8_t> header = BuildVdbHeader("hdb", "x", 1, 1, 0);
  VdbHeader parsed;
  EXPECT_FALSE(ParseVdbHeader(header.data(), 73, &parsed)) << "73 bytes after the tag";
  EXPECT_TRUE(ParseVdbHeader(header.data(), 74, &parsed));
  EXPECT_FALSE(ParseVdbHeader(header.data(), 0, &parsed));
  EXPECT_FALSE(ParseVdbHeader(nullptr, 512, &parsed));
  header[kVdbMarkOffset + 3] = 'K';
  EXPECT_FALSE(ParseVdbHeader(header.data(), header.size(), &parsed));
}

TEST(DatabaseList, OrdersByPriorityKeepingNameOrderForTies) {
  test_support::TempDir dir;
  std::string folder = dir.path() + "/";
  auto write = [&](const std::string& name, uint16_t priority) {
    test_support::WriteTextFile(folder + name, Text(BuildVdbHeader("ndb", name, 1, priority, 0)));
  };
  write("c.vdb", 5);
  write("a.vdb", 5);
  write("b.VDB", 9);
  write("low.vdb", 1);
  write("other.txt", 50);
  test_support::WriteTextFile(folder + "bad.vdb", "IDVE but nothing more");
  std::vector<DatabaseEntry> list = ListDatabases(folder);
  std::vector<std::string> order;
  for (const DatabaseEntry& entry : list) order.push_back(entry.path.substr(folder.size()));
  EXPECT_EQ(order, (std::vector<std::string>{"b.VDB", "a.vdb", "c.vdb", "low.vdb"}));
  EXPECT_TRUE(ListDatabases(folder + "missing/").empty());
}

}  // namespace
}  // namespace qxfw::avlib
