// The host's lock over a scan and the calls that read its results: the library keeps one set
// of results per process, so callers on several threads must each get their own.
#include "ctl/qxav_library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::ctl {
namespace {

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

TEST(QxavLibraryScan, ConcurrentCallersEachGetTheirOwnResults) {
  test_support::TempDir home;
  std::string folder = home.path() + "/av";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (const char* name : {"libqxav.so", "libdvengine32.so"}) {
    ASSERT_EQ(
        symlink((std::string(QXAV_BUILD_DIR "/") + name).c_str(), (folder + "/" + name).c_str()),
        0);
  }
  // Databases are read only from regular files of the folder, never through links.
  test_support::WriteTextFile(folder + "/qxfw.vdb",
                              test_support::ReadTextFile(QXAV_BUILD_DIR "/qxfw.vdb"));
  QxavLibrary library(folder);
  library.SetDVSourceDir(folder.c_str());
  ASSERT_EQ(library.InitEngine(), 1);
  ScanSettings settings{};
  library.ModifySettings(&settings);

  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::vector<std::string> paths;
  for (int i = 0; i < kThreads; ++i) {
    paths.push_back(home.path() + "/infected" + std::to_string(i) + ".com");
    test_support::WriteTextFile(paths.back(), kEicar);
  }
  std::atomic<int> wrong{0}, found{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        QxavLibrary::ScanOutcome scan = library.Scan(paths[i], 0, folder + "/dvtmp.dv");
        if ((scan.result & 1) == 0) continue;
        ++found;
        if (scan.object != paths[i] || scan.virus != "Qxfw.Test.EICAR") ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(found.load(), kThreads * kRounds);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qxfw::ctl
