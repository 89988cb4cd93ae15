#include "socket_owner/packet_owner.h"

#include <unordered_set>

namespace qltdifw {

PacketOwnerFinder::PacketOwnerFinder(ProcessIndex* index, std::string procRoot)
    : index_(index), procRoot_(std::move(procRoot)) {}

void PacketOwnerFinder::Remember(DescriptorFolder folder) {
  recent_.push_front(std::move(folder));
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
  for (auto it = recent_.begin(); it != recent_.end();) {
    switch (it->Holds(row.inode)) {
      case DescriptorFolder::Answer::kHolds: {
        owner.pid = it->Pid();
        if (it != recent_.begin()) {
          DescriptorFolder found = std::move(*it);
          recent_.erase(it);
          recent_.push_front(std::move(found));
        }
        return owner;
      }
      case DescriptorFolder::Answer::kGone:
        // The pid may belong to a new process by now: it is a candidate like any other.
        it = recent_.erase(it);
        break;
      case DescriptorFolder::Answer::kNotHeld:
        tried.insert(it->Pid());
        ++it;
        break;
    }
  }
  size_t walked = tried.size();
  // A process so new that its events still wait in the connector is found on the second round.
  for (int round = 0; round < 2; ++round) {
    if (round == 1) index_->Receive();
    for (pid_t pid : index_->CandidatesOf(uid)) {
      if (walked >= kMaxCandidates) return owner;
      if (!tried.insert(pid).second) continue;
      ++walked;
      DescriptorFolder folder;
      if (folder.Open(procRoot_, pid) &&
          folder.Holds(row.inode) == DescriptorFolder::Answer::kHolds) {
        owner.pid = pid;
        Remember(std::move(folder));
        return owner;
      }
    }
  }
  return owner;
}

}  // namespace qltdifw
