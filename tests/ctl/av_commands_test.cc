// qxfwctl scan and av, run as the real binary over the built library and engine in a
// temporary antivirus folder.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "shell/last_scan.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::ctl {
namespace {

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct Result {
  int status;
  std::string out;
};

class AvCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = home_.path() + "/QOLTEX/AntiVirus";
    ASSERT_EQ(system(("mkdir -p " + folder_ + " " + files()).c_str()), 0);
    for (const char* name : {"libqxav.so", "libdvengine32.so"}) {
      ASSERT_EQ(
          symlink((std::string(QXAV_BUILD_DIR "/") + name).c_str(), (folder_ + "/" + name).c_str()),
          0);
    }
  }
  std::string files() const { return home_.path() + "/files"; }
  Result Run(const std::string& arguments, const std::string& environment = "") {
    std::string command = environment + " QXFW_APPDATA=" + home_.path() + " " QXFWCTL_PATH " " +
                          arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
  }

  test_support::TempDir home_;
  std::string folder_;
};

std::string ZipOf(const std::string& name, const std::string& content) {
  archive* a = archive_write_new();
  archive_write_set_format_zip(a);
  std::string buffer(1 << 20, '\0');
  size_t used = 0;
  archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_set_size(entry, la_int64_t(content.size()));
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_write_header(a, entry);
  archive_write_data(a, content.data(), content.size());
  archive_entry_free(entry);
  archive_write_close(a);
  archive_write_free(a);
  return buffer.substr(0, used);
}

TEST_F(AvCommands, ScanReportsFindingsWithExitCodes) {
  EXPECT_EQ(Run("scan " + files()).status, 2) << "no database yet: the engine cannot start";
  ASSERT_EQ(Run("av default " + folder_ + "/qxfw.vdb").status, 0);

  test_support::WriteTextFile(files() + "/clean.txt", "hello\n");
  Result clean = Run("scan " + files());
  EXPECT_EQ(clean.status, 0);
  EXPECT_NE(clean.out.find("Scanned files: 1\nInfected objects: 0\n"), std::string::npos)
      << clean.out;

  test_support::WriteTextFile(files() + "/e.com", kEicar);
  std::string padded = kEicar + std::string(3000, ' ');
  test_support::WriteTextFile(files() + "/a.zip", ZipOf("in/e.com", padded));
  // A loop of links and a pipe do not stop the walk.
  ASSERT_EQ(symlink(files().c_str(), (files() + "/loop").c_str()), 0);
  ASSERT_EQ(mkfifo((files() + "/pipe").c_str(), 0600), 0);
  Result found = Run("scan " + files());
  EXPECT_EQ(found.status, 1);
  EXPECT_NE(found.out.find(files() + "/e.com: Qxfw.Test.EICAR FOUND\n"), std::string::npos)
      << found.out;
  EXPECT_EQ(found.out.find("a.zip"), std::string::npos) << "archives are off by default";
  Result archives = Run("scan --archives " + files());
  EXPECT_NE(archives.out.find(files() + "/a.zip/in/e.com: Qxfw.Test.EICAR FOUND\n"),
            std::string::npos)
      << archives.out;
  EXPECT_NE(archives.out.find("Infected objects: 2\n"), std::string::npos) << archives.out;

  test_support::WriteTextFile(files() + "/ad.bin", "QXFW-TEST-ADWARE-SIGNATURE");
  EXPECT_EQ(Run("scan " + files() + "/ad.bin").status, 0);
  EXPECT_EQ(Run("scan --adware " + files() + "/ad.bin").status, 1);
  EXPECT_EQ(Run("scan --executables-only " + files() + "/ad.bin").out.find("Scanned files: 0"), 0u);
  EXPECT_EQ(Run("scan " + files() + "/missing").status, 2);

  // --quarantine moves what was found into the caller's quarantine folder.
  std::string system = home_.path() + "/system";
  ASSERT_EQ(mkdir(system.c_str(), 0755), 0);
  Result moved = Run("scan --quarantine " + files() + "/e.com", "QXFW_SYSTEM_DIR=" + system);
  EXPECT_EQ(moved.status, 1);
  EXPECT_NE(moved.out.find(files() + "/e.com: moved to quarantine\nScanned files: 1"),
            std::string::npos)
      << moved.out;
  EXPECT_NE(access((files() + "/e.com").c_str(), F_OK), 0);
  EXPECT_EQ(Run("scan").status, 2);
}

TEST_F(AvCommands, FinishedScansAreRecordedForTheProgram) {
  const std::string record = folder_ + "/LastScan.ini";
  // A scan that cannot start leaves no record.
  EXPECT_EQ(Run("scan " + files()).status, 2);
  EXPECT_NE(access(record.c_str(), F_OK), 0);
  ASSERT_EQ(Run("av default " + folder_ + "/qxfw.vdb").status, 0);
  test_support::WriteTextFile(files() + "/clean.txt", "hello\n");
  test_support::WriteTextFile(files() + "/e.com", kEicar);
  const time_t before = time(nullptr);
  EXPECT_EQ(Run("scan " + files() + " " + files() + "/missing").status, 1);
  std::optional<shell::LastScanRecord> last = shell::ReadLastScan(record);
  ASSERT_TRUE(last.has_value()) << test_support::ReadTextFile(record);
  EXPECT_EQ(last->scanned, 2u);
  EXPECT_EQ(last->infected, 1u);
  EXPECT_EQ(last->errors, 1u);
  EXPECT_GE(last->finished, before);
  EXPECT_LE(last->finished, time(nullptr));
  // The next scan replaces it.
  EXPECT_EQ(Run("scan " + files() + "/clean.txt").status, 0);
  last = shell::ReadLastScan(record);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->scanned, 1u);
  EXPECT_EQ(last->infected, 0u);
  EXPECT_EQ(last->errors, 0u);
}

TEST_F(AvCommands, InfoListsTheDatabasesInLoadOrder) {
  EXPECT_EQ(Run("av info").status, 1);
  ASSERT_EQ(Run("av default " + folder_ + "/qxfw.vdb").status, 0);
  test_support::WriteTextFile(files() + "/extra.hdb",
                              "44d88612fea8a8f36de82e1278abb02f:68:Extra.Test\n");
  ASSERT_EQ(
      Run("av wrap " + files() + "/extra.hdb " + folder_ + "/extra.vdb --priority 300").status, 0);
  EXPECT_EQ(Run("av wrap " + files() + "/clean.bad " + folder_ + "/x.vdb").status, 1);
  Result info = Run("av info");
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("Engine version: 1.00\nSignature records: 5\n"), std::string::npos)
      << info.out;
  size_t extra = info.out.find("extra.vdb");
  size_t own = info.out.find("qxfw.vdb");
  ASSERT_NE(extra, std::string::npos);
  ASSERT_NE(own, std::string::npos);
  EXPECT_LT(extra, own) << "priority 300 loads before 100";
}

}  // namespace
}  // namespace qxfw::ctl
