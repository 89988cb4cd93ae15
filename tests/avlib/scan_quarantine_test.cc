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
  EXPECT_EQ(stored.rfind(infected + "|Test.EICAR;", 0), 0u) << stored.substr(0, 80);
  EXPECT_EQ(stored.find("EICAR-STANDARD"), std::string::npos) << "the body is not scrambled";

  ASSERT_EQ(restore(files[0].c_str()), 1);
  EXPECT_EQ(test_support::ReadTextFile(infected), kEicar);
  q.ShutdownEngine();
  dlclose(handle);
}

}  // namespace
}  // namespace qxfw::avtest
