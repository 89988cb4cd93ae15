#include "avlib/resident_repair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <elf.h>

#include <cstddef>
#include <cstring>

#include "platform/file.h"

namespace qxfw::avlib {
namespace {

const CleanEntry* Find(const CleanLibrary& library, const char* name) {
  for (const CleanEntry& entry : library.entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

bool ReadLive(pid_t pid, uint64_t address, uint8_t* out) {
  platform::UniqueFd mem(open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY));
  return mem.Valid() && pread(mem.Get(), out, kEntryBytes, static_cast<off_t>(address)) ==
                            static_cast<ssize_t>(kEntryBytes);
}

TEST(ResidentRepairTest, CleanBytesOfTheCLibraryMatchTheLiveProcess) {
  CleanLibrary library;
  ASSERT_TRUE(LoadOwnCleanLibrary(&library));
  for (const char* name : {"execve", "posix_spawn", "fork", "open", "openat"})
    EXPECT_NE(Find(library, name), nullptr) << name;
  const uint64_t base = LibraryBaseIn(getpid(), library);
  ASSERT_NE(base, 0u);
  uint8_t live[kEntryBytes];
  ASSERT_TRUE(ReadLive(getpid(), base + Find(library, "open")->address, live));
  EXPECT_EQ(std::memcmp(live, Find(library, "open")->bytes, kEntryBytes), 0);
  // A clean process gets nothing written.
  RepairCount clean = RepairProcess(getpid(), library);
  EXPECT_EQ(clean.processes, 1);
  EXPECT_EQ(clean.bytes, 0);
}

TEST(ResidentRepairTest, OwnProcessIsRepairedWithoutTracingAndAlreadyTracedOnesAreSkipped) {
  CleanLibrary library;
  ASSERT_TRUE(LoadOwnCleanLibrary(&library));
  const CleanEntry* spawn = Find(library, "posix_spawn");
  ASSERT_NE(spawn, nullptr);
  const uint64_t at = LibraryBaseIn(getpid(), library) + spawn->address;
  {
    platform::UniqueFd mem(open("/proc/self/mem", O_RDWR));
    const uint8_t hook[2] = {0xcc, 0xcc};
    ASSERT_EQ(pwrite(mem.Get(), hook, 2, static_cast<off_t>(at + 3)), 2);
  }
  RepairCount own = RepairProcess(getpid(), library);
  EXPECT_EQ(own.repaired, 1);
  uint8_t live[kEntryBytes];
  ASSERT_TRUE(ReadLive(getpid(), at, live));
  EXPECT_EQ(std::memcmp(live, spawn->bytes, kEntryBytes), 0);
  EXPECT_EQ(own.bytes, (spawn->bytes[3] != 0xcc) + (spawn->bytes[4] != 0xcc));

  // A process that another tracer holds cannot be attached to: skipped, and it runs on.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    _exit(read(go[0], &byte, 1) == 1 ? 0 : 1);
  }
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    // Holds the child traced (running) until it ends.
    if (ptrace(PTRACE_SEIZE, child, nullptr, nullptr) != 0) _exit(2);
    int status;
    while (waitpid(child, &status, __WALL) == child && !WIFEXITED(status)) {
    }
    _exit(0);
  }
  for (int i = 0; i < 200; ++i) {
    std::string status;
    platform::ReadWholeFile("/proc/" + std::to_string(child) + "/status", &status);
    if (status.find("TracerPid:\t" + std::to_string(holder)) != std::string::npos) break;
    usleep(10000);
  }
  RepairCount skipped = RepairProcess(child, library);
  EXPECT_EQ(skipped.processes, 0);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(go[0]);
  close(go[1]);
}

TEST(ResidentRepairTest, DamagedImagesAreRefused) {
  CleanLibrary library;
  std::string image;
  ASSERT_TRUE(platform::ReadWholeFile("/proc/self/exe", &image));
  EXPECT_FALSE(ReadCleanEntries("", &library));
  EXPECT_FALSE(ReadCleanEntries(std::string("\x7f"
                                            "ELF",
                                            4),
                                &library));
  ASSERT_TRUE(LoadOwnCleanLibrary(&library));
  ASSERT_TRUE(platform::ReadWholeFile(library.path, &image, 64u << 20));
  // Cut short: the section table is gone.
  EXPECT_FALSE(ReadCleanEntries(image.substr(0, image.size() / 2), &library));
  // A wild program-header offset.
  std::string wild = image;
  uint64_t far = ~uint64_t{0} - 8;
  std::memcpy(wild.data() + offsetof(Elf64_Ehdr, e_phoff), &far, sizeof far);
  EXPECT_FALSE(ReadCleanEntries(wild, &library));
}

TEST(ResidentRepairTest, RestoresOpenThatAChildPatchedInItself) {
  CleanLibrary library;
  ASSERT_TRUE(LoadOwnCleanLibrary(&library));
  const CleanEntry* open_entry = Find(library, "open");
  ASSERT_NE(open_entry, nullptr);
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Overwrite the first bytes of open with "ret" and traps, as an infector's hook would.
    uint64_t at = LibraryBaseIn(getpid(), library) + open_entry->address;
    int mem = ::open("/proc/self/mem", O_RDWR);
    const uint8_t hook[4] = {0xc3, 0xcc, 0xcc, 0xcc};
    bool patched = mem >= 0 && pwrite(mem, hook, sizeof hook, static_cast<off_t>(at)) == 4;
    char byte = patched ? 'p' : 'f';
    if (write(ready[1], &byte, 1) != 1) _exit(3);
    if (read(go[0], &byte, 1) != 1) _exit(4);
    int fd = ::open("/proc/self/status", O_RDONLY);  // works only if open is whole again
    _exit(fd >= 0 ? 0 : 5);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'p');
  const uint64_t at = LibraryBaseIn(child, library) + open_entry->address;
  uint8_t live[kEntryBytes];
  ASSERT_TRUE(ReadLive(child, at, live));
  EXPECT_EQ(live[0], 0xc3);

  RepairCount count = RepairProcess(child, library);
  EXPECT_EQ(count.repaired, 1);
  EXPECT_GE(count.bytes, 1);
  EXPECT_LE(count.bytes, 4);
  ASSERT_TRUE(ReadLive(child, at, live));
  EXPECT_EQ(std::memcmp(live, open_entry->bytes, kEntryBytes), 0);

  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

}  // namespace
}  // namespace qxfw::avlib
