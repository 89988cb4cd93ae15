// One process's descriptor folder (/proc/<pid>/fd), kept open so that asking again whether the
// process holds a socket costs neither an open nor a walk of every descriptor: the descriptor
// that held the last socket found here is tried first (a program that connects again and again
// reuses its descriptor number), then the others from the highest number down (a new socket
// usually has the highest).
//
// The open folder stays bound to the process it was opened for: once that process has ended it
// answers kGone, also when its pid has been given to a new process. Used by one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace qltdifw {

class DescriptorFolder {
 public:
  enum class Answer { kHolds, kNotHeld, kGone };

  // False when the folder cannot be opened (the process has ended, or may not be read).
  bool Open(const std::string& procRoot, pid_t pid);
  pid_t Pid() const { return pid_; }

  // Whether the process has a descriptor on the socket with this inode.
  Answer Holds(uint64_t inode);

 private:
  bool DescriptorIs(int descriptor, uint64_t inode) const;

  pid_t pid_ = 0;
  qxfw::platform::UniqueFd folder_;
  int hint_ = -1;
  std::vector<int> descriptors_;  // kept to save an allocation per question
};

}  // namespace qltdifw
