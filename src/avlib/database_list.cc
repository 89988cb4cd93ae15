#include "avlib/database_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "avlib/vdb_header.h"

namespace qxfw::avlib {
namespace {

bool EndsWithVdb(const char* name) {
  size_t n = std::strlen(name);
  return n >= 4 && strcasecmp(name + n - 4, ".vdb") == 0;
}

bool ReadHeader(const std::string& path, DatabaseEntry* entry) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  uint8_t head[kVdbHeaderSize];
  ssize_t got = 0;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    while (got < ssize_t(sizeof(head))) {
      ssize_t n = read(fd, head + got, sizeof(head) - size_t(got));
      if (n <= 0) break;
      got += n;
    }
  }
  close(fd);
  VdbHeader header;
  if (got <= 0 || !ParseVdbHeader(head, size_t(got), &header)) return false;
  entry->path = path;
  entry->version = header.version;
  entry->priority = header.priority;
  return true;
}

}  // namespace

std::vector<DatabaseEntry> ListDatabases(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* item = readdir(dir)) {
      if (item->d_type == DT_DIR || !EndsWithVdb(item->d_name)) continue;
      names.emplace_back(item->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<DatabaseEntry> list;
  for (const std::string& name : names) {
    DatabaseEntry entry;
    if (ReadHeader(folder + name, &entry)) list.push_back(std::move(entry));
  }
  std::stable_sort(list.begin(), list.end(), [](const DatabaseEntry& a, const DatabaseEntry& b) {
    return a.priority > b.priority;
  });
  return list;
}

}  // namespace qxfw::avlib
