// Owners of sockets: which process holds the socket with a given inode, found by reading the
// descriptor links under /proc/<pid>/fd.
//
// Used by CPortList on both roads (the kernel's socket tables give inodes, not processes).
// Reading every descriptor of the machine is the expensive part of a refresh, so Find stops as
// soon as every inode asked for has an owner. A process whose descriptors cannot be read (another
// user's, or one that ended meanwhile) owns nothing. One object per thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace qxfw::monitor {

class SocketOwner {
 public:
  explicit SocketOwner(std::string procRoot = "/proc");

  // Finds the owners of inodes (0 entries are ignored), replacing the previous answer. A socket
  // shared by several processes (inherited across fork) goes to the first process that /proc
  // lists, which is normally the lowest process id.
  void Find(const std::vector<uint64_t>& inodes);

  // Owner process id of inode from the last Find; 0 when unknown.
  uint32_t OwnerOf(uint64_t inode) const;

 private:
  // Walks one process's descriptors with a getdents buffer of its own; returns how many wanted
  // inodes it settled.
  size_t ScanProcess(int procFd, const char* pidText, uint32_t pid, char* buffer);

  std::string procRoot_;
  std::unordered_map<uint64_t, uint32_t> owners_;
};

// The inode of a descriptor link text "socket:[12345]"; 0 for any other text.
uint64_t SocketInodeOfLink(const char* link, size_t length);

}  // namespace qxfw::monitor
