// qxfwctl over a damaged rule store: a command that only reads shows what the intact slots
// hold, writes nothing and fails; a changing command repairs (keeping the damaged file aside)
// and stops, so the user learns of the damage before anything else changes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "test_support/command_output.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

using Result = test_support::CommandOutput;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Bytes and modification time of a file: both must stay as they were under a reader.
struct Snapshot {
  std::string bytes;
  int64_t mtimeNs = 0;
  bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return {ReadFile(path), int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

class CtlDamageTest : public ::testing::Test {
 protected:
  // stdout only, or stdout and stderr together.
  Result Run(const std::string& arguments, bool withErrors = true) {
    return test_support::RunCommandLine(Environment() + QXFWCTL_PATH " " + arguments +
                                        (withErrors ? " 2>&1" : " 2>/dev/null"));
  }
  std::string Environment() const {
    return "QXFW_APPDATA='" + dir_.path() + "' XDG_CACHE_HOME='" + dir_.path() + "/cache' ";
  }
  std::string Folder() const { return dir_.path() + "/QOLTEX/Firewall"; }

  // 41 rules, level High; the listing and journal as qxfwctl shows them while sound.
  void MakeStore() {
    for (int i = 0; i < 30; ++i) {
      ASSERT_EQ(Run("rules add-program " + std::string(i % 2 ? "allow" : "block") + " /opt/app" +
                    std::to_string(i))
                    .status,
                0);
    }
    for (int i = 0; i < 11; ++i) {
      const std::string port = std::to_string(20 + i);
      ASSERT_EQ(Run("rules add-portip 1 " + port + " " + port + " 0.0.0.0 0.0.0.0 1 p 1").status,
                0);
    }
    ASSERT_EQ(Run("level set 4").status, 0);
    Result list = Run("rules list");
    ASSERT_EQ(list.status, 0);
    listing_ = list.out;
    ASSERT_NE(listing_.find("Security level: 4 (High)\nProgram rules: 30\n"), std::string::npos);
    ASSERT_NE(listing_.find("IP/port rules: 11\n"), std::string::npos);
    Result journal = Run("journal");
    ASSERT_EQ(journal.status, 0);
    journal_ = journal.out;
  }

  void FlipByte50(const std::string& path) {
    std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), 50u);
    bytes[50] = static_cast<char>(bytes[50] ^ 0x5A);
    WriteFile(path, bytes);
  }

  // Every reading command: the intact content on stdout, a message and status 1, and not one
  // byte (nor the modification time) of either file changed.
  void ReadersShowAndFailWithoutWriting(const std::string& what) {
    const Snapshot rules = Take(Folder() + "/QLFW.dat");
    const Snapshot journal = Take(Folder() + "/QLFW.log");
    Result list = Run("rules list", false);
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.out, listing_);
    Result listed = Run("rules list");
    EXPECT_NE(listed.out.find("qxfwctl: " + what), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("Nothing was changed"), std::string::npos) << listed.out;
    Result json = Run("rules list --json", false);
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.out.find("\"securityLevel\":4"), std::string::npos) << json.out;
    Result level = Run("level get", false);
    EXPECT_EQ(level.status, 1);
    EXPECT_EQ(level.out, "4 High\n");
    Result history = Run("journal", false);
    EXPECT_EQ(history.status, 1);
    EXPECT_EQ(history.out, journal_);
    EXPECT_TRUE(Take(Folder() + "/QLFW.dat") == rules);
    EXPECT_TRUE(Take(Folder() + "/QLFW.log") == journal);
    EXPECT_FALSE(Exists(Folder() + "/QLFW.dat.bad"));
    EXPECT_FALSE(Exists(Folder() + "/QLFW.log.bad"));
  }

  test_support::TempDir dir_;
  std::string listing_;
  std::string journal_;
};

TEST_F(CtlDamageTest, DamagedRuleFileHeaderIsShownNotTruncatedThenRepairedAside) {
  ASSERT_NO_FATAL_FAILURE(MakeStore());
  ASSERT_NO_FATAL_FAILURE(FlipByte50(Folder() + "/QLFW.dat"));
  const std::string damaged = ReadFile(Folder() + "/QLFW.dat");
  ReadersShowAndFailWithoutWriting("The rule data file QLFW.dat is damaged");

  // A change repairs the store, keeps the damaged file aside and stops.
  Result add = Run("rules add-program allow /usr/bin/new");
  EXPECT_EQ(add.status, 1);
  EXPECT_NE(add.out.find(Folder() + "/QLFW.dat.bad"), std::string::npos) << add.out;
  EXPECT_NE(add.out.find("run it again"), std::string::npos) << add.out;
  EXPECT_EQ(ReadFile(Folder() + "/QLFW.dat.bad"), damaged);
  EXPECT_EQ(Run("rules list").out, listing_);
  EXPECT_EQ(Run("rules list").status, 0);
  // Run again, it is applied; the journal goes on.
  EXPECT_EQ(Run("rules add-program allow /usr/bin/new").status, 0);
  EXPECT_NE(Run("rules list").out.find("/usr/bin/new"), std::string::npos);
  Result journal = Run("journal");
  EXPECT_EQ(journal.status, 0);
  EXPECT_EQ(journal.out.rfind(journal_, 0), 0u);
  EXPECT_NE(journal.out.find("added\tprogram Allow /usr/bin/new"), std::string::npos);
}

TEST_F(CtlDamageTest, DamagedJournalHeaderIsShownNotTruncatedThenRepairedAside) {
  ASSERT_NO_FATAL_FAILURE(MakeStore());
  ASSERT_NO_FATAL_FAILURE(FlipByte50(Folder() + "/QLFW.log"));
  const std::string damaged = ReadFile(Folder() + "/QLFW.log");
  ReadersShowAndFailWithoutWriting("The journal of rule changes QLFW.log is damaged");

  Result level = Run("level set 2");
  EXPECT_EQ(level.status, 1);
  EXPECT_NE(level.out.find(Folder() + "/QLFW.log.bad"), std::string::npos) << level.out;
  EXPECT_EQ(ReadFile(Folder() + "/QLFW.log.bad"), damaged);
  EXPECT_EQ(Run("level get").out, "4 High\n");
  Result journal = Run("journal");
  EXPECT_EQ(journal.status, 0);
  EXPECT_EQ(journal.out, journal_);
  EXPECT_EQ(Run("rules list").out, listing_);
}

}  // namespace
}  // namespace qxfw::store
