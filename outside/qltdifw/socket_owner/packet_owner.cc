#include "socket_owner/packet_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "monitor/socket_owner.h"

namespace qltdifw {
namespace {

constexpr size_t kRecentOwners = 16;

}  // namespace

PacketOwnerFinder::PacketOwnerFinder(ProcessIndex* index, std::string procRoot)
    : index_(index), procRoot_(std::move(procRoot)) {}

bool PacketOwnerFinder::Holds(pid_t pid, uint64_t inode) const {
  std::string dirPath = procRoot_ + "/" + std::to_string(pid) + "/fd";
  int dirFd = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return false;
  }
  bool found = false;
  char link[64];
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    ssize_t n = readlinkat(dirFd, entry->d_name, link, sizeof(link) - 1);
    if (n <= 0) continue;
    if (qxfw::monitor::SocketInodeOfLink(link, static_cast<size_t>(n)) == inode) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

void PacketOwnerFinder::Remember(pid_t pid) {
  auto it = std::find(recent_.begin(), recent_.end(), pid);
  if (it != recent_.end()) recent_.erase(it);
  recent_.push_front(pid);
  if (recent_.size() > kRecentOwners) recent_.pop_back();
}

PacketOwner PacketOwnerFinder::Find(int protocol, uint32_t localAddr, uint16_t localPort,
                                    uint32_t remoteAddr, uint16_t remotePort, int64_t uid) {
  PacketOwner owner;
  qxfw::monitor::InetSocketRow row;
  uint32_t socketUid = 0;
  if (diag_.Lookup(protocol, localAddr, localPort, remoteAddr, remotePort, &row, &socketUid) != 0 ||
      row.inode == 0) {
    return owner;
  }
  owner.inode = row.inode;
  owner.uid = socketUid;
  if (uid < 0) uid = socketUid;

  std::unordered_set<pid_t> tried;
  size_t walked = 0;
  auto attempt = [&](pid_t pid) {
    if (!tried.insert(pid).second) return false;
    ++walked;
    return Holds(pid, row.inode);
  };
  for (pid_t pid : recent_) {
    if (attempt(pid)) {
      owner.pid = pid;
      Remember(pid);
      return owner;
    }
  }
  // A process so new that its events still wait in the connector is found on the second round.
  for (int round = 0; round < 2; ++round) {
    if (round == 1) index_->Receive();
    for (pid_t pid : index_->CandidatesOf(uid)) {
      if (walked >= kMaxCandidates) return owner;
      if (attempt(pid)) {
        owner.pid = pid;
        Remember(pid);
        return owner;
      }
    }
  }
  return owner;
}

}  // namespace qltdifw
