#include "shell/antivirus_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "avlib/database_list.h"
#include "avlib/vdb_header.h"
#include "platform/file.h"
#include "platform/ini_file.h"

namespace qxfw::shell {
namespace {

// A folder of a pointer database holds a handful of files; more is not a database folder.
constexpr int kMaxFolderEntries = 256;
constexpr uint32_t kMaxFolderPath = 4096;

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t ModifiedAt(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

// The newest regular file of a folder, by modification time; 0 when none.
int64_t NewestIn(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int64_t newest = 0;
  int seen = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (++seen > kMaxFolderEntries) break;
    if (entry->d_name[0] == '.') continue;
    std::string path = folder + "/" + entry->d_name;
    if (IsRegularFile(path)) newest = std::max(newest, ModifiedAt(path));
  }
  ::closedir(dir);
  return newest;
}

// For a database of type "dir": the folder it names (an absolute path), else "".
std::string PointedFolder(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes, avlib::kVdbHeaderSize + kMaxFolderPath)) return {};
  avlib::VdbHeader header;
  if (!avlib::ParseVdbHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                             &header) ||
      header.payloadType != "dir" || header.tagOffset != 0 ||
      header.payloadLength > kMaxFolderPath ||
      bytes.size() != avlib::kVdbHeaderSize + header.payloadLength) {
    return {};
  }
  std::string folder = bytes.substr(avlib::kVdbHeaderSize);
  folder = folder.substr(0, folder.find('\0'));
  return folder.empty() || folder[0] != '/' ? std::string() : folder;
}

}  // namespace

AntiVirusFacts GatherAntiVirusFacts(const std::string& folder) {
  AntiVirusFacts facts;
  facts.library = IsRegularFile(folder + "/libqxav.so");
  facts.engine = IsRegularFile(folder + "/libdvengine32.so");
  uint16_t highest = 0;
  for (const avlib::DatabaseEntry& db : avlib::ListDatabases(folder + "/")) {
    ++facts.databases;
    highest = std::max(highest, db.version);
    int64_t date = ModifiedAt(db.path);
    std::string pointed = PointedFolder(db.path);
    if (!pointed.empty()) date = NewestIn(pointed);
    facts.date = std::max(facts.date, date);
  }
  platform::IniFile ini(folder + "/dvupdate.ini");
  std::string high = ini.GetString("VISION", "High_Word", "");
  std::string low = ini.GetString("VISION", "Low_Word", "");
  if (!high.empty() || !low.empty()) {
    facts.version = high + "." + low;
  } else if (facts.databases > 0) {
    facts.version = std::to_string(highest);
  }
  return facts;
}

}  // namespace qxfw::shell
