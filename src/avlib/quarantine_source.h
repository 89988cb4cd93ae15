// A file held open for a quarantine: the folder it was reached through and the file itself.
// Moving a held source moves the very file that was opened (and scanned), and its name is
// removed through the held folder, so swapping a folder of the path for a link or another
// folder afterwards changes nothing. Shared by the scanner, which holds what it scans, and the
// quarantine, which moves it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "platform/file.h"

namespace qxfw::avlib {

struct QuarantineSource {
  platform::UniqueFd folder;  // the folder that holds leaf
  platform::UniqueFd file;    // the file, open for reading
  std::string leaf;           // its name in folder
};

// Opens the folder of path as the path stands now and then the file from that folder, for
// reading. follow_leaf: a link at the last component is followed (a scan of a named link);
// otherwise it makes the open fail. False with errno set; source is then left empty.
inline bool OpenQuarantineSource(const std::string& path, bool follow_leaf,
                                 QuarantineSource* source) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") {
    errno = EISDIR;
    return false;
  }
  // O_PATH: searching the folder is all an open by name needed, so no read right is asked.
  platform::UniqueFd dir(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return false;
  // Non-blocking so that a FIFO does not hang the caller; reads of regular files ignore it.
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow_leaf ? 0 : O_NOFOLLOW);
  platform::UniqueFd file(openat(dir.Get(), leaf.c_str(), flags));
  if (!file.Valid()) return false;
  source->folder = std::move(dir);
  source->file = std::move(file);
  source->leaf = std::move(leaf);
  return true;
}

// True when leaf in folder is still the open file (same device and inode, not a link to it).
inline bool SourceNameHolds(const QuarantineSource& source) {
  struct stat by_name, held;
  return fstatat(source.folder.Get(), source.leaf.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(source.file.Get(), &held) == 0 && by_name.st_dev == held.st_dev &&
         by_name.st_ino == held.st_ino;
}

}  // namespace qxfw::avlib
