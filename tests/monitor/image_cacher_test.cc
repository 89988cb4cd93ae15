#include "monitor/image_cacher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

using test_support::TempDir;

class ImageCacherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = Make("prog",
                    "\x7f"
                    "ELF....",
                    0755);
    script_ = Make("tool", "#!/bin/sh\n", 0755);
    notepad_ = Make("NOTEPAD.EXE", "MZ", 0644);
    library_ = Make("libx.so",
                    "\x7f"
                    "ELF....",
                    0644);
  }
  std::string Make(const std::string& name, const std::string& content, mode_t mode) {
    std::string path = dir_.path() + "/" + name;
    std::ofstream(path) << content;
    chmod(path.c_str(), mode);
    return path;
  }

  TempDir dir_;
  std::string program_, script_, notepad_, library_;
};

TEST_F(ImageCacherTest, RecordsImagesAndFlagsExecutables) {
  CImageCacher cache({}, [](uint32_t) { return true; });
  EXPECT_TRUE(cache.Record(100, program_));
  EXPECT_TRUE(cache.Record(100, library_));
  EXPECT_TRUE(cache.Record(101, notepad_));  // program extension, any case
  EXPECT_FALSE(cache.Record(102, ""));
  EXPECT_EQ(cache.FlagsAt(0), CImageCacher::kInUse | CImageCacher::kExecutable);
  EXPECT_EQ(cache.FlagsAt(1), CImageCacher::kInUse);
  EXPECT_EQ(cache.FlagsAt(2), CImageCacher::kInUse | CImageCacher::kExecutable);
  EXPECT_EQ(cache.FlagsAt(3), 0u);
  EXPECT_EQ(cache.ExecutableOf(100), program_);
  EXPECT_EQ(cache.ExecutableOf(101), notepad_);
  EXPECT_EQ(cache.ExecutableOf(102), "");
  EXPECT_EQ(cache.PathAt(1), library_);
  EXPECT_FALSE(cache.PathAt(3).has_value());
  EXPECT_FALSE(cache.PathAt(-1).has_value());
  EXPECT_FALSE(cache.PathAt(1024).has_value());
}

TEST_F(ImageCacherTest, ExecutableLookupRules) {
  CImageCacher cache({}, [](uint32_t) { return true; });
  cache.Record(4, program_);
  cache.Record(10, program_);
  cache.Record(11, program_);
  cache.Record(11, library_);
  cache.Record(11, script_);  // the last executable of the process wins
  EXPECT_EQ(cache.ExecutableOf(4), "");
  EXPECT_EQ(cache.ExecutableOf(10), "");
  EXPECT_EQ(cache.ExecutableOf(11), script_);

  char small[8];
  std::memset(small, 'x', sizeof(small));
  EXPECT_TRUE(cache.ExecutableOf(11, small, sizeof(small)));
  EXPECT_EQ(std::string(small), script_.substr(0, 7));
  char untouched[4] = {'a', 'b', 'c', '\0'};
  EXPECT_FALSE(cache.ExecutableOf(12, untouched, sizeof(untouched)));
  EXPECT_STREQ(untouched, "abc");
  EXPECT_FALSE(cache.ExecutableOf(11, nullptr, 10));
}

TEST_F(ImageCacherTest, KnownDllsAreIgnoredRegardlessOfCase) {
  std::string upper = library_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  CImageCacher cache({upper}, [](uint32_t) { return true; });
  EXPECT_FALSE(cache.Record(50, library_));
  EXPECT_EQ(cache.NextPending(), -1);
  cache.SetKnownDlls({});
  EXPECT_TRUE(cache.Record(50, library_));
}

TEST_F(ImageCacherTest, HandOutWalksPendingImages) {
  CImageCacher cache({}, [](uint32_t) { return true; });
  cache.Record(200, program_);
  cache.Record(200, library_);
  std::vector<std::string> scanned;
  for (int index = cache.NextPending(); index >= 0; index = cache.NextPending()) {
    scanned.push_back(cache.PathAt(index).value_or(""));
    ASSERT_TRUE(cache.HandOut(index));
  }
  EXPECT_EQ(scanned, (std::vector<std::string>{program_, library_}));
  // The executable stays known after hand-out; the library's slot is free again.
  EXPECT_EQ(cache.FlagsAt(0), CImageCacher::kHandedOut | CImageCacher::kExecutable);
  EXPECT_EQ(cache.PathAt(0), program_);
  EXPECT_EQ(cache.ExecutableOf(200), program_);
  EXPECT_EQ(cache.FlagsAt(1), 0u);
  EXPECT_FALSE(cache.PathAt(1).has_value());
  cache.Record(201, library_);
  EXPECT_EQ(cache.PathAt(1), library_);  // first free slot reused

  EXPECT_FALSE(cache.HandOut(1024));
  EXPECT_FALSE(cache.HandOut(-1));
  EXPECT_FALSE(cache.HandOut(5));  // empty slot
}

TEST_F(ImageCacherTest, FullCacheReclaimsSlotsOfEndedProcesses) {
  // Process ids above the kernel's largest possible pid never run; whether a process runs is
  // decided by the real kill(pid, 0) here. Slot 0 belongs to this (running) process.
  const uint32_t self = static_cast<uint32_t>(getpid());
  const uint32_t ended = 5'000'000;
  CImageCacher cache;
  ASSERT_TRUE(cache.Record(self, script_));
  for (uint32_t i = 1; i < CImageCacher::kSlotCount; ++i) {
    ASSERT_TRUE(cache.Record(ended + i, program_)) << i;
  }
  // Full of pending images: nothing is thrown away before the scan saw it.
  EXPECT_FALSE(cache.Record(ended + 1024, program_));
  int handedOut = 0;
  for (int index = cache.NextPending(); index >= 0; index = cache.NextPending()) {
    ASSERT_TRUE(cache.HandOut(index));
    ++handedOut;
  }
  EXPECT_EQ(handedOut, CImageCacher::kSlotCount);
  EXPECT_EQ(cache.ExecutableOf(ended + 5), program_);

  EXPECT_TRUE(cache.Record(ended + 1024, library_));  // the 1025th process
  EXPECT_EQ(cache.PathAt(1), library_);
  EXPECT_EQ(cache.FlagsAt(1), CImageCacher::kInUse);
  EXPECT_EQ(cache.ExecutableOf(ended + 5), "");  // reclaimed
  EXPECT_EQ(cache.FlagsAt(5), 0u);
  EXPECT_EQ(cache.ExecutableOf(self), script_);  // still running: kept
  EXPECT_EQ(cache.NextPending(), 1);
}

TEST_F(ImageCacherTest, LiveProcessesKeepTheirSlots) {
  const uint32_t self = static_cast<uint32_t>(getpid());
  CImageCacher cache;
  for (int i = 0; i < CImageCacher::kSlotCount; ++i) {
    ASSERT_TRUE(cache.Record(self, i == 0 ? script_ : program_));
    cache.HandOut(i);
  }
  EXPECT_FALSE(cache.Record(5'000'000, program_));
  EXPECT_EQ(cache.PathAt(0), script_);
}

TEST_F(ImageCacherTest, WritersAndReadersOnSeveralThreads) {
  CImageCacher cache({}, [](uint32_t) { return false; });
  std::thread writer([&] {
    for (uint32_t i = 0; i < 4000; ++i) cache.Record(1000 + i, i % 2 ? program_ : library_);
  });
  std::set<std::string> seen;
  std::thread scanner([&] {
    for (int round = 0; round < 20000; ++round) {
      int index = cache.NextPending();
      if (index < 0) continue;
      if (auto path = cache.PathAt(index)) seen.insert(*path);
      cache.HandOut(index);
    }
  });
  writer.join();
  scanner.join();
  for (int i = 0; i < CImageCacher::kSlotCount; ++i) {
    uint32_t flags = cache.FlagsAt(i);
    EXPECT_TRUE(flags == 0 || (flags & CImageCacher::kInUse) || flags == 6u) << flags;
  }
  EXPECT_FALSE(seen.empty());
  for (const std::string& path : seen) EXPECT_TRUE(path == program_ || path == library_);
}

}  // namespace
}  // namespace qxfw::monitor
