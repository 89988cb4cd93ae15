#include "socket_owner/descriptor_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>

#include "monitor/socket_owner.h"

namespace qltdifw {

bool DescriptorFolder::Open(const std::string& procRoot, pid_t pid) {
  std::string path = procRoot + "/" + std::to_string(pid) + "/fd";
  folder_.Reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  pid_ = pid;
  hint_ = -1;
  return folder_.Valid();
}

bool DescriptorFolder::DescriptorIs(int descriptor, uint64_t inode) const {
  char name[16];
  auto [end, error] = std::to_chars(name, name + sizeof(name) - 1, descriptor);
  if (error != std::errc()) return false;
  *end = '\0';
  char link[64];
  ssize_t n = readlinkat(folder_.Get(), name, link, sizeof(link));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(link)) return false;
  return qxfw::monitor::SocketInodeOfLink(link, static_cast<size_t>(n)) == inode;
}

DescriptorFolder::Answer DescriptorFolder::Holds(uint64_t inode) {
  if (!folder_.Valid()) return Answer::kGone;
  if (inode == 0) return Answer::kNotHeld;  // what every link that is not a socket reads as
  if (hint_ >= 0 && DescriptorIs(hint_, inode)) return Answer::kHolds;

  descriptors_.clear();
  if (lseek(folder_.Get(), 0, SEEK_SET) < 0) return Answer::kGone;
  alignas(dirent64) char buffer[8192];
  for (;;) {
    ssize_t size = getdents64(folder_.Get(), buffer, sizeof(buffer));
    if (size < 0) return errno == ENOENT || errno == ESRCH ? Answer::kGone : Answer::kNotHeld;
    if (size == 0) break;
    for (ssize_t offset = 0; offset < size;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      if (entry->d_reclen == 0 || offset + entry->d_reclen > size) break;
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      int descriptor = 0;
      const char* last = name + strnlen(name, entry->d_reclen - offsetof(dirent64, d_name));
      auto [stop, error] = std::from_chars(name, last, descriptor);
      if (error == std::errc() && stop == last) descriptors_.push_back(descriptor);
    }
  }
  for (auto it = descriptors_.rbegin(); it != descriptors_.rend(); ++it) {
    if (*it != hint_ && DescriptorIs(*it, inode)) {
      hint_ = *it;
      return Answer::kHolds;
    }
  }
  return Answer::kNotHeld;
}

}  // namespace qltdifw
