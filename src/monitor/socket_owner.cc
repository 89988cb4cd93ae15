#include "monitor/socket_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/file.h"

namespace qxfw::monitor {
namespace {

constexpr size_t kDirentBuffer = 64 * 1024;

// Calls visit(name) for every entry of the open directory fd except "." and "..". visit returns
// false to stop early; ForEachEntry then returns false too.
template <typename Visit>
bool ForEachEntry(int fd, char* buffer, Visit&& visit) {
  for (;;) {
    ssize_t size = ::getdents64(fd, buffer, kDirentBuffer);
    if (size <= 0) return true;
    for (ssize_t offset = 0; offset < size;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      if (entry->d_reclen == 0) return true;
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      if (!visit(name)) return false;
    }
  }
}

uint32_t PidOfName(const char* name) {
  uint32_t pid = 0;
  const char* end = name + std::strlen(name);
  auto [stop, error] = std::from_chars(name, end, pid);
  return error == std::errc() && stop == end ? pid : 0;
}

}  // namespace

uint64_t SocketInodeOfLink(const char* link, size_t length) {
  static constexpr char kPrefix[] = "socket:[";
  constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
  if (length < kPrefixLength + 2 || std::memcmp(link, kPrefix, kPrefixLength) != 0) return 0;
  if (link[length - 1] != ']') return 0;
  uint64_t inode = 0;
  const char* end = link + length - 1;
  auto [stop, error] = std::from_chars(link + kPrefixLength, end, inode);
  return error == std::errc() && stop == end ? inode : 0;
}

SocketOwner::SocketOwner(std::string procRoot) : procRoot_(std::move(procRoot)) {}

uint32_t SocketOwner::OwnerOf(uint64_t inode) const {
  auto found = owners_.find(inode);
  return found != owners_.end() ? found->second : 0;
}

void SocketOwner::Find(const std::vector<uint64_t>& inodes) {
  owners_.clear();
  owners_.reserve(inodes.size());
  for (uint64_t inode : inodes) {
    if (inode != 0) owners_.emplace(inode, 0);
  }
  size_t missing = owners_.size();
  if (missing == 0) return;

  platform::UniqueFd proc(::open(procRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.Valid()) return;
  std::vector<char> processes(kDirentBuffer);
  std::vector<char> descriptors(kDirentBuffer);
  ForEachEntry(proc.Get(), processes.data(), [&](const char* name) {
    uint32_t pid = PidOfName(name);
    if (pid == 0) return true;
    size_t settled = ScanProcess(proc.Get(), name, pid, descriptors.data());
    missing -= std::min(settled, missing);
    return missing > 0;
  });
}

size_t SocketOwner::ScanProcess(int procFd, const char* pidText, uint32_t pid, char* buffer) {
  char path[32];
  std::snprintf(path, sizeof(path), "%s/fd", pidText);
  platform::UniqueFd fds(::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds.Valid()) return 0;
  size_t settled = 0;
  ForEachEntry(fds.Get(), buffer, [&](const char* name) {
    char link[64];
    ssize_t length = ::readlinkat(fds.Get(), name, link, sizeof(link));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(link)) return true;
    uint64_t inode = SocketInodeOfLink(link, static_cast<size_t>(length));
    if (inode == 0) return true;
    auto found = owners_.find(inode);
    if (found != owners_.end() && found->second == 0) {
      found->second = pid;
      ++settled;
    }
    return true;
  });
  return settled;
}

}  // namespace qxfw::monitor
