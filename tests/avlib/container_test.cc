// Containers through the library and the real engine: archives nested in archives, the
// member limit of the counted types, the three-slash stop, mail attachments, the report file
// and bad input (corrupt archives, bombs by size, member count and depth).
#include <gtest/gtest.h>

#include <chrono>

#include "avtest_support.h"

namespace qxfw::avtest {
namespace {

class QxavContainers : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.WriteTestDatabase();
    ASSERT_EQ(folder_.Start(), 1);
    Settings(1, 1);
  }
  void Settings(int32_t archives, int32_t email) {
    ScanSettings settings{0, 0, 0, archives, email};
    Qxav::Load().ModifySettings(&settings);
  }
  int32_t Scan(const std::string& path) { return Qxav::Load().FileScan(path.c_str(), 0); }
  std::string Report() const { return test_support::ReadTextFile(folder_.path() + "dvtmp.dv"); }

  EngineFolder folder_;
};

TEST_F(QxavContainers, ReportsEveryInfectedMemberWithItsPath) {
  std::string zip = folder_.File(
      "two.zip", Zip({{"a.com", kEicar}, {"readme.txt", "hello"}, {"b.com", "prefix " + kEicar}}));
  EXPECT_EQ(Scan(zip), 0x1001);
  EXPECT_EQ(Report(), zip + "/a.com\tTest.EICAR\tZIP\n" + zip + "/b.com\tTest.EICAR\tZIP\n");
  char object[QXAV_OBJECT_NAME_SIZE];
  Qxav::Load().GetCurObjectName(object);
  EXPECT_EQ(std::string(object), zip + "/b.com");

  std::string clean = folder_.File("clean.zip", Zip({{"readme.txt", "hello"}}));
  EXPECT_EQ(Scan(clean), 0) << "a clean archive is clean, not 0x1000";
  EXPECT_EQ(Report(), "") << "each container scan starts a new report";

  std::string outer = folder_.File(
      "outer.zip", Zip({{"note.txt", "x"}, {"inner.zip", Zip({{"deep/e.com", kEicar}})}}));
  EXPECT_EQ(Scan(outer), 0x1001);
  EXPECT_EQ(Report(), outer + "/inner.zip/deep/e.com\tTest.EICAR\tZIP\n");

  std::string tgz =
      folder_.File("t.tar.gz", MakeArchive(archive_write_set_format_pax_restricted,
                                           {{"x/e.txt", kEicar}}, archive_write_add_filter_gzip));
  EXPECT_EQ(Scan(tgz) & 0x1001, 0x1001);
  EXPECT_NE(Report().find("/x/e.txt\tTest.EICAR\t"), std::string::npos) << Report();
}

TEST_F(QxavContainers, ArchivesStayShutWhenSwitchedOff) {
  // Compressed, so the member's bytes are not visible in the archive itself.
  std::string zip = folder_.File("e.zip", Zip({{"e.com", kEicar + std::string(4000, ' ')}}));
  Settings(0, 0);
  EXPECT_EQ(Scan(zip), 0);
  Settings(1, 0);
  EXPECT_EQ(Scan(zip), 0x1001);
}

TEST_F(QxavContainers, MailAttachmentsFollowTheMailSetting) {
  std::string mail = folder_.File("m.eml",
                                  "From: a@example.org\r\nTo: b@example.org\r\nSubject: hi\r\n"
                                  "MIME-Version: 1.0\r\n"
                                  "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
                                  "--b1\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
                                  "--b1\r\nContent-Type: application/octet-stream\r\n"
                                  "Content-Disposition: attachment; filename=\"e.com\"\r\n"
                                  "Content-Transfer-Encoding: base64\r\n\r\n"
                                  "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFO\r\n"
                                  "VElWSVJVUy1URVNULUZJTEUhJEgrSCo=\r\n--b1--\r\n");
  Settings(1, 0);
  EXPECT_EQ(Scan(mail), 0);
  Settings(0, 1);
  EXPECT_EQ(Scan(mail), 0x1001);
  EXPECT_EQ(Report(), mail + "/e.com\tTest.EICAR\tMAIL\n");
}

TEST_F(QxavContainers, CountedTypesStopAfter32Members) {
  std::vector<std::pair<std::string, std::string>> members;
  for (int i = 1; i <= 32; ++i) members.push_back({"m" + std::to_string(i), "clean"});
  members.push_back({"m33", kEicar});
  std::string late = folder_.File("late.cpio", MakeArchive(archive_write_set_format_cpio, members));
  // cpio is always opened, whatever the archive setting, and walked to 32 members.
  Settings(0, 0);
  EXPECT_EQ(Scan(late), 0);
  members.erase(members.end() - 2);  // the infected one is now the 32nd
  std::string in32 = folder_.File("in32.cpio", MakeArchive(archive_write_set_format_cpio, members));
  EXPECT_EQ(Scan(in32), 0x1001);

  // Ordinary archives have no such limit.
  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 1; i <= 40; ++i) many.push_back({"m" + std::to_string(i), "clean"});
  many.push_back({"last", kEicar});
  Settings(1, 0);
  EXPECT_EQ(Scan(folder_.File("many.zip", Zip(many))), 0x1001);
}

TEST_F(QxavContainers, AMemberNameWithThreeSlashesEndsTheWalk) {
  std::string zip =
      folder_.File("slashes.zip", Zip({{"a/b/c/d.txt", "clean"}, {"after.com", kEicar}}));
  EXPECT_EQ(Scan(zip), 0);
  std::string two = folder_.File("two.zip", Zip({{"a/b/d.com", kEicar}}));
  EXPECT_EQ(Scan(two), 0x1001);
}

TEST_F(QxavContainers, BadArchivesNeverCrashAndStayBounded) {
  std::string zip = Zip({{"a.txt", std::string(3000, 'a')}, {"e.com", kEicar + "padding"}});
  // Cut in the middle, and with its central data overwritten.
  std::string cut = folder_.File("cut.zip", zip.substr(0, zip.size() / 2));
  int32_t result = Scan(cut);
  EXPECT_TRUE(result == 0 || result == -1 || result == 0x1001) << result;
  std::string garbled = zip;
  for (size_t i = 30; i < garbled.size(); i += 7) garbled[i] = char(garbled[i] ^ 0x5a);
  result = Scan(folder_.File("garbled.zip", garbled));
  EXPECT_TRUE(result == 0 || result == -1 || result == 0x1001) << result;
  EXPECT_EQ(Scan(folder_.File("magic.zip", "PK\x03\x04 and nothing else")), 0);

  // A member of 200 MiB of zeros compresses to about 200 KiB; it is not unpacked whole.
  auto started = std::chrono::steady_clock::now();
  std::string bomb = MakeArchive(archive_write_set_format_pax_restricted,
                                 {{"zeros", std::string(200u << 20, '\0')}, {"e.com", kEicar}},
                                 archive_write_add_filter_gzip);
  std::string bombPath = folder_.File("bomb.tar.gz", bomb);
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(Scan(bombPath), 0) << "the walk ends at the oversized member";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));

  // Nested far deeper than the engine opens: the bottom is never reached, nothing breaks.
  std::string nested = Zip({{"e.com", kEicar}});
  for (int level = 0; level < 40; ++level) nested = Zip({{"n.zip", nested}});
  EXPECT_EQ(Scan(folder_.File("deep.zip", nested)), 0);
  std::string shallow = Zip({{"e.com", kEicar}});
  for (int level = 0; level < 10; ++level) shallow = Zip({{"n.zip", shallow}});
  EXPECT_EQ(Scan(folder_.File("shallow.zip", shallow)), 0x1001);
}

}  // namespace
}  // namespace qxfw::avtest
