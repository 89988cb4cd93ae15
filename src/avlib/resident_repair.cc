#include "avlib/resident_repair.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/debug_output.h"
#include "platform/file.h"

namespace qxfw::avlib {
namespace {

constexpr const char* kRepaired[] = {"execve", "posix_spawn", "fork", "open", "openat"};

template <typename T>
bool ReadAt(const std::string& image, uint64_t offset, T* out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(out, image.data() + offset, sizeof(T));
  return true;
}

struct Mapping {
  uint64_t start = 0;
  uint64_t offset = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  std::string path;
};

// The lines of /proc/<pid>/maps: start-end perms offset major:minor inode path.
std::vector<Mapping> ReadMaps(pid_t pid) {
  std::vector<Mapping> maps;
  std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long start = 0, end = 0, offset = 0, inode = 0;
    unsigned major_no = 0, minor_no = 0;
    char perms[8] = {};
    int used = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %x:%x %llu %n", &start, &end, perms, &offset,
                    &major_no, &minor_no, &inode, &used) < 7)
      continue;
    Mapping m;
    m.start = start;
    m.offset = offset;
    m.device = makedev(major_no, minor_no);
    m.inode = inode;
    if (used > 0 && static_cast<size_t>(used) <= line.size()) m.path = line.substr(used);
    maps.push_back(std::move(m));
  }
  return maps;
}

bool IsCLibraryName(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  return leaf == "libc.so.6" ||
         (leaf.rfind("libc-", 0) == 0 && leaf.find(".so") != std::string::npos);
}

// Compares the entries at base in the process memory file and writes back differing runs.
int RepairMemory(int mem, uint64_t base, const CleanLibrary& library) {
  int written = 0;
  for (const CleanEntry& entry : library.entries) {
    uint8_t now[kEntryBytes];
    const off_t at = static_cast<off_t>(base + entry.address);
    if (pread(mem, now, sizeof now, at) != static_cast<ssize_t>(sizeof now)) continue;
    size_t i = 0;
    while (i < kEntryBytes) {
      if (now[i] == entry.bytes[i]) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < kEntryBytes && now[j] != entry.bytes[j]) ++j;
      if (pwrite(mem, entry.bytes + i, j - i, at + static_cast<off_t>(i)) ==
          static_cast<ssize_t>(j - i))
        written += static_cast<int>(j - i);
      i = j;
    }
  }
  return written;
}

std::vector<pid_t> ThreadsOf(pid_t pid) {
  std::vector<pid_t> tids;
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* item = readdir(dir)) {
      if (item->d_name[0] >= '0' && item->d_name[0] <= '9') tids.push_back(std::atoi(item->d_name));
    }
    closedir(dir);
  }
  return tids;
}

// Seizes and stops every thread of pid; detaches them all on destruction, handing back a
// signal that arrived while stopped.
class StoppedProcess {
 public:
  explicit StoppedProcess(pid_t pid) {
    for (pid_t tid : ThreadsOf(pid)) {
      if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) continue;
      Held held{tid, 0};
      if (ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0) {
        int status = 0;
        pid_t got = waitpid(tid, &status, __WALL);
        if (got != tid || !WIFSTOPPED(status)) continue;  // gone
        if ((status >> 16) != PTRACE_EVENT_STOP) held.signal = WSTOPSIG(status);
      }
      held_.push_back(held);
      if (tid == pid) main_held_ = true;
    }
  }
  ~StoppedProcess() {
    for (const Held& held : held_) {
      ptrace(PTRACE_DETACH, held.tid, nullptr,
             reinterpret_cast<void*>(static_cast<long>(held.signal)));
    }
  }
  StoppedProcess(const StoppedProcess&) = delete;
  StoppedProcess& operator=(const StoppedProcess&) = delete;
  bool ok() const { return main_held_; }

 private:
  struct Held {
    pid_t tid;
    int signal;
  };
  std::vector<Held> held_;
  bool main_held_ = false;
};

}  // namespace

bool ReadCleanEntries(const std::string& image, CleanLibrary* library) {
  Elf64_Ehdr eh;
  if (!ReadAt(image, 0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
      eh.e_type != ET_DYN || eh.e_phentsize != sizeof(Elf64_Phdr) ||
      eh.e_shentsize != sizeof(Elf64_Shdr))
    return false;
  std::vector<Elf64_Phdr> loads;
  bool have_first = false;
  for (uint64_t i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    if (!ReadAt(image, eh.e_phoff + i * sizeof ph, &ph)) return false;
    if (ph.p_type != PT_LOAD) continue;
    loads.push_back(ph);
    if (ph.p_offset == 0) {
      library->first_load_vaddr = ph.p_vaddr & ~uint64_t{0xfff};
      have_first = true;
    }
  }
  if (!have_first) return false;
  Elf64_Shdr dynsym{}, dynstr{};
  bool found = false;
  for (uint64_t i = 0; i < eh.e_shnum && !found; ++i) {
    Elf64_Shdr sh;
    if (!ReadAt(image, eh.e_shoff + i * sizeof sh, &sh)) return false;
    if (sh.sh_type != SHT_DYNSYM) continue;
    if (sh.sh_link >= eh.e_shnum || sh.sh_entsize != sizeof(Elf64_Sym) ||
        !ReadAt(image, eh.e_shoff + uint64_t{sh.sh_link} * sizeof sh, &dynstr))
      return false;
    dynsym = sh;
    found = true;
  }
  if (!found || dynsym.sh_offset > image.size() ||
      dynsym.sh_size > image.size() - dynsym.sh_offset || dynstr.sh_offset > image.size() ||
      dynstr.sh_size > image.size() - dynstr.sh_offset)
    return false;
  const char* strings = image.data() + dynstr.sh_offset;
  library->entries.clear();
  for (uint64_t i = 0; i < dynsym.sh_size / sizeof(Elf64_Sym); ++i) {
    Elf64_Sym sym;
    if (!ReadAt(image, dynsym.sh_offset + i * sizeof sym, &sym)) break;
    if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF ||
        sym.st_name >= dynstr.sh_size)
      continue;
    const size_t room = dynstr.sh_size - sym.st_name;
    std::string name(strings + sym.st_name, strnlen(strings + sym.st_name, room));
    bool wanted = false;
    for (const char* repaired : kRepaired) wanted |= name == repaired;
    if (!wanted) continue;
    for (const Elf64_Phdr& ph : loads) {
      if (sym.st_value < ph.p_vaddr || sym.st_value - ph.p_vaddr >= ph.p_filesz) continue;
      const uint64_t offset = sym.st_value - ph.p_vaddr + ph.p_offset;
      if (ph.p_filesz - (sym.st_value - ph.p_vaddr) < kEntryBytes || offset > image.size() ||
          image.size() - offset < kEntryBytes)
        break;
      CleanEntry entry;
      entry.name = name;
      entry.address = sym.st_value;
      std::memcpy(entry.bytes, image.data() + offset, kEntryBytes);
      library->entries.push_back(entry);
      break;
    }
  }
  return !library->entries.empty();
}

bool LoadOwnCleanLibrary(CleanLibrary* library) {
  for (const Mapping& m : ReadMaps(getpid())) {
    if (m.offset != 0 || !IsCLibraryName(m.path)) continue;
    platform::UniqueFd fd(open(m.path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.Valid() || fstat(fd.Get(), &st) != 0 || st.st_dev != m.device || st.st_ino != m.inode)
      continue;
    std::string image;
    if (!platform::ReadWholeFile(m.path, &image, 64u << 20)) continue;
    library->path = m.path;
    library->device = st.st_dev;
    library->inode = st.st_ino;
    return ReadCleanEntries(image, library);
  }
  return false;
}

uint64_t LibraryBaseIn(pid_t pid, const CleanLibrary& library) {
  for (const Mapping& m : ReadMaps(pid)) {
    if (m.offset == 0 && m.device == library.device && m.inode == library.inode)
      return m.start - library.first_load_vaddr;
  }
  return 0;
}

RepairCount RepairProcess(pid_t pid, const CleanLibrary& library) {
  RepairCount count;
  count.ran = true;
  const uint64_t base = LibraryBaseIn(pid, library);
  if (base == 0) return count;
  const bool own = pid == getpid();
  std::unique_ptr<StoppedProcess> stopped;
  if (!own) {
    stopped = std::make_unique<StoppedProcess>(pid);
    if (!stopped->ok()) return count;
  }
  platform::UniqueFd mem(
      open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDWR | O_CLOEXEC));
  if (!mem.Valid()) return count;
  count.processes = 1;
  count.bytes = RepairMemory(mem.Get(), base, library);
  count.repaired = count.bytes > 0 ? 1 : 0;
  return count;
}

RepairCount RepairAllProcesses() {
  RepairCount total;
  CleanLibrary library;
  if (!LoadOwnCleanLibrary(&library)) {
    platform::DebugOutput("[QXAV] repair: the C library file cannot be read");
    return total;
  }
  total = RepairProcess(getpid(), library);
  if (DIR* dir = opendir("/proc")) {
    while (dirent* item = readdir(dir)) {
      pid_t pid = std::atoi(item->d_name);
      if (pid <= 0 || pid == getpid()) continue;
      RepairCount one = RepairProcess(pid, library);
      total.processes += one.processes;
      total.repaired += one.repaired;
      total.bytes += one.bytes;
    }
    closedir(dir);
  }
  total.ran = true;
  if (total.repaired > 0)
    platform::DebugOutput("[QXAV] repair: %d bytes restored in %d processes", total.bytes,
                          total.repaired);
  return total;
}

}  // namespace qxfw::avlib
