// Resident infection repair: puts back the entry bytes of the C library's process-creation
// and file-open functions in running processes after something patched them in memory.
//
// The clean bytes come from the C library file on disk: its ".dynsym" names the functions and
// its load segments map their addresses to file offsets (every offset bounds-checked). A
// process is repaired only when its own mapping of the C library is the same file (device and
// inode); its load base comes from its /proc/<pid>/maps. Other processes are stopped for the
// repair (PTRACE_SEIZE + PTRACE_INTERRUPT on every thread), only differing bytes are written,
// through /proc/<pid>/mem, and the process is detached again. Processes that cannot be
// attached to are skipped. The own process is repaired through /proc/self/mem.
//
// Runs on the caller's thread; must not run during a scan.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qxfw::avlib {

inline constexpr size_t kEntryBytes = 16;

struct CleanEntry {
  std::string name;
  uint64_t address = 0;  // offset from the library's load base
  uint8_t bytes[kEntryBytes] = {};
};

// The C library file and the clean entry bytes of the repaired functions.
struct CleanLibrary {
  std::string path;
  uint64_t device = 0;  // st_dev of the file
  uint64_t inode = 0;
  uint64_t first_load_vaddr = 0;  // page-aligned address of the load segment at offset 0
  std::vector<CleanEntry> entries;
};

// Reads the entries from an ELF64 image; false when the image is not a little-endian x86-64
// or AArch64 shared object or a table lies outside it. Names not found are left out.
bool ReadCleanEntries(const std::string& image, CleanLibrary* library);

// Finds the C library mapped in the own process and reads its entries from disk.
bool LoadOwnCleanLibrary(CleanLibrary* library);

// The load base of library in process pid (from its maps), or 0 when pid does not map that
// very file.
uint64_t LibraryBaseIn(pid_t pid, const CleanLibrary& library);

struct RepairCount {
  bool ran = false;   // the clean library could be read
  int processes = 0;  // processes checked
  int repaired = 0;   // processes in which bytes were written
  int bytes = 0;      // bytes written in total
};

// Repairs one process (the own one without tracing).
RepairCount RepairProcess(pid_t pid, const CleanLibrary& library);
// The own process first, then every other process that can be attached to.
RepairCount RepairAllProcesses();

}  // namespace qxfw::avlib
