#include "shell/page_cabinet.h"

#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"

namespace qxfw::shell {
namespace {

using platform::DebugOutput;

// The one name under which the memory cabinet is opened; any other name is a real file.
constexpr char kMemoryName[] = "\x01page-cabinet";

struct MemoryFile {
  const unsigned char* data;
  off_t size;
  off_t pos;
};

struct DiskFile {
  int fd;
};

// A file handle of either kind; libmspack only passes it back to the hooks below.
struct Handle {
  bool memory;
  MemoryFile mem;
  DiskFile disk;
};

// mspack_system must come first: libmspack hands the hooks the pointer it was given.
struct MemorySystem {
  mspack_system base;
  const unsigned char* data;
  size_t size;
};

mspack_file* Open(mspack_system* self, const char* filename, int mode) {
  auto* sys = reinterpret_cast<MemorySystem*>(self);
  auto* h = new Handle{};
  if (std::strcmp(filename, kMemoryName) == 0) {
    if (mode != MSPACK_SYS_OPEN_READ) {
      delete h;
      return nullptr;
    }
    h->memory = true;
    h->mem = {sys->data, static_cast<off_t>(sys->size), 0};
    return reinterpret_cast<mspack_file*>(h);
  }
  if (mode != MSPACK_SYS_OPEN_WRITE) {
    delete h;
    return nullptr;
  }
  h->disk.fd = ::open(filename, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (h->disk.fd < 0) {
    DebugOutput("[QXFW.exe] ExtractCabs cannot create %s: %s", filename, std::strerror(errno));
    delete h;
    return nullptr;
  }
  return reinterpret_cast<mspack_file*>(h);
}

void Close(mspack_file* file) {
  auto* h = reinterpret_cast<Handle*>(file);
  if (!h->memory && h->disk.fd >= 0) ::close(h->disk.fd);
  delete h;
}

int Read(mspack_file* file, void* buffer, int bytes) {
  auto* h = reinterpret_cast<Handle*>(file);
  if (!h->memory || bytes < 0) return -1;
  off_t left = h->mem.size - h->mem.pos;
  int n = left < bytes ? static_cast<int>(left) : bytes;
  std::memcpy(buffer, h->mem.data + h->mem.pos, static_cast<size_t>(n));
  h->mem.pos += n;
  return n;
}

int Write(mspack_file* file, void* buffer, int bytes) {
  auto* h = reinterpret_cast<Handle*>(file);
  if (h->memory || bytes < 0) return -1;
  if (!platform::WriteAll(h->disk.fd, buffer, static_cast<size_t>(bytes))) return -1;
  return bytes;
}

int Seek(mspack_file* file, off_t offset, int mode) {
  auto* h = reinterpret_cast<Handle*>(file);
  if (!h->memory) return -1;
  off_t base = mode == MSPACK_SYS_SEEK_START ? 0
               : mode == MSPACK_SYS_SEEK_CUR ? h->mem.pos
                                             : h->mem.size;
  off_t target = base + offset;
  if (target < 0 || target > h->mem.size) return -1;
  h->mem.pos = target;
  return 0;
}

off_t Tell(mspack_file* file) {
  auto* h = reinterpret_cast<Handle*>(file);
  return h->memory ? h->mem.pos : -1;
}

void Message(mspack_file*, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  DebugOutput("[QXFW.exe] ExtractCabs: %s", text);
}

void* Alloc(mspack_system*, size_t bytes) {
  return std::malloc(bytes);
}
void Free(void* p) {
  std::free(p);
}
void Copy(void* src, void* dest, size_t bytes) {
  std::memmove(dest, src, bytes);
}

struct CabDecompressorDeleter {
  void operator()(mscab_decompressor* d) const { mspack_destroy_cab_decompressor(d); }
};

// Creates every folder of relative path rel (a file path) below root.
bool MakeParents(const std::string& root, const std::string& rel) {
  for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
    std::string dir = root + rel.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

void SetTimesAndAttributes(const std::string& path, const mscabd_file& f) {
  std::tm tm{};
  tm.tm_year = f.date_y - 1900;
  tm.tm_mon = f.date_m - 1;
  tm.tm_mday = f.date_d;
  tm.tm_hour = f.time_h;
  tm.tm_min = f.time_m;
  tm.tm_sec = f.time_s;
  tm.tm_isdst = -1;
  std::time_t when = std::mktime(&tm);
  if (when != static_cast<std::time_t>(-1)) {
    timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  if (f.attribs & MSCAB_ATTRIB_RDONLY) ::chmod(path.c_str(), 0444);
}

}  // namespace

std::string CPageCabinet::SafeMemberPath(const std::string& name) {
  std::string path = name;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty() || path[0] == '/' || (path.size() > 1 && path[1] == ':')) return "";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == ".." || (part.empty() && end == path.size())) return "";
    start = end + 1;
  }
  return path;
}

bool CPageCabinet::Extract(const void* data, size_t size, const std::string& folder) {
  if (data == nullptr || size == 0 || folder.empty()) return false;
  MemorySystem sys{};
  sys.base = {Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr};
  sys.data = static_cast<const unsigned char*>(data);
  sys.size = size;
  std::unique_ptr<mscab_decompressor, CabDecompressorDeleter> cabd(
      mspack_create_cab_decompressor(&sys.base));
  if (!cabd) return false;
  mscabd_cabinet* cab = cabd->open(cabd.get(), kMemoryName);
  if (cab == nullptr) {
    DebugOutput("[QXFW.exe] ExtractCabs: not a cabinet (error %d)", cabd->last_error(cabd.get()));
    return false;
  }
  bool ok = true;
  for (mscabd_file* f = cab->files; f != nullptr && ok; f = f->next) {
    std::string rel = SafeMemberPath(f->filename ? f->filename : "");
    if (rel.empty()) {
      DebugOutput("[QXFW.exe] ExtractCabs: member name refused: %s", f->filename);
      ok = false;
      break;
    }
    std::string target = folder + rel;
    if (!MakeParents(folder, rel)) {
      ok = false;
      break;
    }
    // A read-only file left by an earlier start would refuse the new content.
    ::unlink(target.c_str());
    if (cabd->extract(cabd.get(), f, target.c_str()) != MSPACK_ERR_OK) {
      DebugOutput("[QXFW.exe] ExtractCabs: cannot extract %s (error %d)", rel.c_str(),
                  cabd->last_error(cabd.get()));
      ok = false;
      break;
    }
    SetTimesAndAttributes(target, *f);
  }
  cabd->close(cabd.get(), cab);
  return ok;
}

std::string ExtractCabs(const void* data, size_t size, const std::string& preferred) {
  DebugOutput("[QXFW.exe] ExtractCabs()");
  std::string folder = preferred;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  if (!folder.empty() && CPageCabinet::Extract(data, size, folder)) return folder;
  std::string pattern = platform::TempFolder() + "/qxfw-pages-XXXXXX";
  std::unique_ptr<char[]> buffer(new char[pattern.size() + 1]);
  std::memcpy(buffer.get(), pattern.c_str(), pattern.size() + 1);
  if (::mkdtemp(buffer.get()) == nullptr) {
    DebugOutput("[QXFW.exe] ExtractCabs: cannot make a temporary folder: %s", std::strerror(errno));
    return "";
  }
  folder = std::string(buffer.get()) + "/";
  if (!CPageCabinet::Extract(data, size, folder)) return "";
  return folder;
}

}  // namespace qxfw::shell
