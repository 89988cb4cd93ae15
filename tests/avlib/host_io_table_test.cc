// The host I/O table the engine calls back through: file access results, exclusive creates,
// unpredictable temporary names, DOS times, the settings query, and the empty entries.
#include "avlib/host_io_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "avlib/file_scanner.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::avlib {
namespace {

using namespace dvengine;

template <typename Fn, typename... Args>
intptr_t Call(int index, Args... args) {
  return reinterpret_cast<Fn>(HostIoTable()[index].function)(0, intptr_t(args)...);
}

intptr_t P(const void* pointer) {
  return reinterpret_cast<intptr_t>(pointer);
}

TEST(HostIoTable, HasTheExpectedShape) {
  const HostIoEntry* table = HostIoTable();
  for (int i = 0; i < kHostIoCount; ++i) {
    bool empty = i == 28 || i == 29 || i == 56;
    EXPECT_EQ(table[i].function == nullptr, empty) << i;
  }
  EXPECT_EQ(table[kHostOpen].argumentCount, 2);
  EXPECT_EQ(table[kHostRead].argumentCount, 3);
  EXPECT_EQ(table[22].argumentCount, 6);
  EXPECT_EQ(Call<HostFn0>(25), -1);
  EXPECT_EQ(Call<HostFn3>(30, 0, 0, 0), 1);
}

TEST(HostIoTable, OpensReadsAndRefusesWhatItShould) {
  test_support::TempDir dir;
  std::string path = test_support::WriteTextFile(dir.path() + "/f", "0123456789");
  EXPECT_EQ(Call<HostFn2>(kHostOpen, P(path.c_str()), 3), -1) << "no mode 3";
  EXPECT_EQ(Call<HostFn2>(kHostOpen, P((dir.path() + "/none").c_str()), 0), -1);
  intptr_t handle = Call<HostFn2>(kHostOpen, P(path.c_str()), 2);
  ASSERT_GE(handle, 0);
  char buffer[4] = {};
  EXPECT_EQ(Call<HostFn2>(kHostSeekAbsolute, handle, 6), 6);
  EXPECT_EQ(Call<HostFn3>(kHostRead, handle, P(buffer), 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(Call<HostFn1>(kHostFileSize, handle), 10);
  EXPECT_EQ(Call<HostFn2>(kHostTruncate, handle, 3), 0);
  EXPECT_EQ(Call<HostFn1>(kHostSeekEnd, handle), 3);
  EXPECT_EQ(Call<HostFn1>(kHostClose, handle), 0);
  EXPECT_EQ(Call<HostFn1>(kHostClose, 0), 0) << "a null handle closes fine";
  EXPECT_EQ(Call<HostFn1>(kHostClose, 999999), -1);

  // Created without sharing: a second create fails while the first is open.
  std::string made = dir.path() + "/made";
  intptr_t first = Call<HostFn1>(kHostCreate, P(made.c_str()));
  ASSERT_GE(first, 0);
  EXPECT_EQ(Call<HostFn1>(kHostCreate, P(made.c_str())), -1);
  Call<HostFn1>(kHostClose, first);
  intptr_t again = Call<HostFn1>(kHostCreate, P(made.c_str()));
  EXPECT_GE(again, 0);
  Call<HostFn1>(kHostClose, again);

  auto* block = reinterpret_cast<unsigned char*>(Call<HostFn1>(kHostAlloc, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
  EXPECT_EQ(Call<HostFn1>(kHostFree, P(block)), 0);
  EXPECT_EQ(Call<HostFn1>(kHostFree, 0), 0);
  EXPECT_EQ(Call<HostFn1>(kHostAlloc, -5), -1);
}

TEST(HostIoTable, TemporaryFilesGetFreshNames) {
  test_support::TempDir dir;
  char* old = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    char name[260] = {};
    intptr_t handle = Call<HostFn1>(kHostTempFile, P(name));
    ASSERT_GE(handle, 0);
    EXPECT_EQ(std::string(name).rfind("./Dve", 0), 0u) << name;
    EXPECT_EQ(std::strlen(name), 11u);
    names.insert(name);
    Call<HostFn1>(kHostClose, handle);
  }
  EXPECT_EQ(names.size(), 3u);
  EXPECT_EQ(chdir(old), 0);
  free(old);
}

TEST(HostIoTable, DosTimesRoundTripAndQueryAnswersTheSettings) {
  test_support::TempDir dir;
  std::string path = test_support::WriteTextFile(dir.path() + "/t", "x");
  intptr_t handle = Call<HostFn2>(kHostOpen, P(path.c_str()), 2);
  ASSERT_GE(handle, 0);
  // 14 March 2009, 14:15:30 local time.
  uint16_t date = uint16_t((2009 - 1980) << 9 | 3 << 5 | 14);
  uint16_t time = uint16_t(14 << 11 | 15 << 5 | 30 / 2);
  EXPECT_EQ(Call<HostFn3>(kHostSetTime, handle, date, time), 0);
  uint16_t gotDate = 1, gotTime = 1;
  EXPECT_EQ(Call<HostFn3>(kHostGetTime, handle, P(&gotDate), P(&gotTime)), 0);
  EXPECT_EQ(gotDate, date);
  EXPECT_EQ(gotTime, time);
  Call<HostFn1>(kHostClose, handle);

  ScanSettings settings{0, 0, 0, 1, 0};
  CFileScanner::Get().SetSettings(settings);
  EXPECT_EQ(Call<HostFn2>(kHostQuery, kQueryScanArchives, 0), 1);
  settings.scanArchives = 0;
  CFileScanner::Get().SetSettings(settings);
  EXPECT_EQ(Call<HostFn2>(kHostQuery, kQueryScanArchives, 0), 0);
  EXPECT_EQ(Call<HostFn2>(kHostQuery, 2, 0), 0);
  EXPECT_EQ(Call<HostFn1>(kHostGetAttributes, P(dir.path().c_str())), 0x10);
}

}  // namespace
}  // namespace qxfw::avlib
