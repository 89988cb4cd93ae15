// FileScan's quarantine modes over the real engine: the infected file found by a scan is moved
// into the caller's quarantine with the virus name as its note, and comes back on restore.
#include <sys/stat.h>

#include <filesystem>

#include "avtest_support.h"

namespace qxfw::avtest {
namespace {

TEST(QxavScanQuarantine, ModeTwoQuarantinesTheLastInfectedFile) {
  Qxav& q = Qxav::Load();
  void* handle = dlopen(QXAV_BUILD_DIR "/libqxav.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  auto define = reinterpret_cast<decltype(&::DefineQuarantine)>(dlsym(handle, "DefineQuarantine"));
  auto restore = reinterpret_cast<decltype(&::RestoreFile)>(dlsym(handle, "RestoreFile"));
  ASSERT_TRUE(define && restore);

  EngineFolder folder;
  folder.WriteTestDatabase();
  ASSERT_EQ(folder.Start(), 1);
  test_support::TempDir sys;
  ASSERT_EQ(define(sys.path().c_str()), 1);
  const std::string infected = folder.File("eicar.com", kEicar);
  ASSERT_EQ(q.FileScan(infected.c_str(), 1) & QXAV_FLAG_INFECTED, QXAV_FLAG_INFECTED);
  EXPECT_EQ(q.FileScan(infected.c_str(), 2), 0);
  struct stat st;
  EXPECT_NE(stat(infected.c_str(), &st), 0) << "the infected file is still there";

  const std::string mine = sys.path() + "/quarantine/" + std::to_string(geteuid());
  std::vector<std::string> files;
  for (const auto& item : std::filesystem::directory_iterator(mine)) files.push_back(item.path());
  ASSERT_EQ(files.size(), 1u);
  const std::string stored = test_support::ReadTextFile(files[0]);
  EXPECT_EQ(stored.rfind(infected + "|Test.EICAR|dir:", 0), 0u) << stored.substr(0, 80);
  EXPECT_EQ(stored.find("EICAR-STANDARD"), std::string::npos) << "the body is not scrambled";

  ASSERT_EQ(restore(files[0].c_str()), 1);
  EXPECT_EQ(test_support::ReadTextFile(infected), kEicar);
  q.ShutdownEngine();
  dlclose(handle);
}

// Between the scan and the quarantine the scanned file's folder is swapped for a link to a
// folder with a clean file of the same name. The quarantine moves the file that was scanned,
// or refuses, and never the clean file the path now leads to.
TEST(QxavScanQuarantine, FolderSwappedAfterTheScanNeverMovesAnotherFile) {
  Qxav& q = Qxav::Load();
  void* handle = dlopen(QXAV_BUILD_DIR "/libqxav.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  auto define = reinterpret_cast<decltype(&::DefineQuarantine)>(dlsym(handle, "DefineQuarantine"));
  auto to_quarantine =
      reinterpret_cast<decltype(&::FileToQuarantine)>(dlsym(handle, "FileToQuarantine"));
  ASSERT_TRUE(define && to_quarantine);
  EngineFolder folder;
  folder.WriteTestDatabase();
  ASSERT_EQ(folder.Start(), 1);
  test_support::TempDir sys, shared, mine;
  ASSERT_EQ(define(sys.path().c_str()), 1);
  const std::string clean = test_support::WriteTextFile(mine.path() + "/x", "clean", 0600);
  test_support::WriteTextFile(mine.path() + "/y", "clean too", 0600);
  const std::string d = shared.path() + "/d";
  ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  test_support::WriteTextFile(d + "/x", kEicar);
  test_support::WriteTextFile(d + "/y", kEicar);
  auto swap = [&] {
    ASSERT_EQ(rename(d.c_str(), (d + ".real").c_str()), 0);
    ASSERT_EQ(symlink(mine.path().c_str(), d.c_str()), 0);
  };
  auto unswap = [&] {
    ASSERT_EQ(unlink(d.c_str()), 0);
    ASSERT_EQ(rename((d + ".real").c_str(), d.c_str()), 0);
  };

  // The file of the last scan is held: the infected file moves, the clean one stays.
  ASSERT_EQ(q.FileScan((d + "/x").c_str(), 0) & QXAV_FLAG_INFECTED, QXAV_FLAG_INFECTED);
  swap();
  EXPECT_EQ(to_quarantine((d + "/x").c_str(), "Test.EICAR"), 1);
  EXPECT_EQ(test_support::ReadTextFile(clean), "clean");
  struct stat st;
  EXPECT_NE(lstat((d + ".real/x").c_str(), &st), 0) << "the scanned file was not moved";
  unswap();

  // An earlier scan's file is checked again by folder and inode: refused once swapped.
  ASSERT_EQ(q.FileScan((d + "/y").c_str(), 0) & QXAV_FLAG_INFECTED, QXAV_FLAG_INFECTED);
  test_support::WriteTextFile(shared.path() + "/z", kEicar);
  ASSERT_EQ(q.FileScan((shared.path() + "/z").c_str(), 0) & QXAV_FLAG_INFECTED, QXAV_FLAG_INFECTED);
  swap();
  EXPECT_EQ(to_quarantine((d + "/y").c_str(), "Test.EICAR"), 0);
  EXPECT_EQ(test_support::ReadTextFile(mine.path() + "/y"), "clean too");
  EXPECT_EQ(lstat((d + ".real/y").c_str(), &st), 0);
  unswap();

  // FileScan's quarantine mode goes the same way.
  ASSERT_EQ(q.FileScan((d + "/y").c_str(), 0) & QXAV_FLAG_INFECTED, QXAV_FLAG_INFECTED);
  swap();
  EXPECT_EQ(q.FileScan((d + "/y").c_str(), 2), 0);
  EXPECT_EQ(test_support::ReadTextFile(mine.path() + "/y"), "clean too");
  EXPECT_NE(lstat((d + ".real/y").c_str(), &st), 0);
  q.ShutdownEngine();
  dlclose(handle);
}

}  // namespace
}  // namespace qxfw::avtest
