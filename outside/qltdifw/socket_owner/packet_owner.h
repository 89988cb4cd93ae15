// Which process sent a queued packet: the exact socket from sock_diag, then its owner among
// likely processes (the recent owners first, whose descriptor folders stay open, then the
// processes of the socket's uid, newest first). Every process of the machine is never walked while
// a packet is held: a search that finds no owner among the candidates gives up and reports pid 0.
//
// The sock_diag socket belongs to the network namespace of the thread that constructs this
// object. Used by one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>

#include "monitor/sock_diag.h"
#include "process_index/process_index.h"
#include "socket_owner/descriptor_folder.h"

namespace qltdifw {

struct PacketOwner {
  pid_t pid = 0;  // 0: not found
  uint64_t inode = 0;
  uint32_t uid = 0;
};

class PacketOwnerFinder {
 public:
  PacketOwnerFinder(ProcessIndex* index, std::string procRoot = "/proc");
  bool Valid() const { return diag_.Valid(); }

  // Ends and protocol as in the packet (network order). uid is the kernel's uid of the socket
  // when the queue reported one, else -1.
  PacketOwner Find(int protocol, uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                   uint16_t remotePort, int64_t uid);

  // Walks candidates at most this many processes (bounds a packet's hold).
  static constexpr size_t kMaxCandidates = 4096;
  // Recent owners whose folders stay open.
  static constexpr size_t kRecentOwners = 16;

 private:
  void Remember(DescriptorFolder folder);

  qxfw::monitor::SockDiag diag_;
  ProcessIndex* index_;
  std::string procRoot_;
  std::deque<DescriptorFolder> recent_;  // most recent first
};

}  // namespace qltdifw
