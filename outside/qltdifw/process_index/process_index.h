// The processes of the machine, kept current from the proc connector (fork, exec, uid change and
// exit events), so that the owner of a socket can be looked for among likely processes first
// and a packet is never held while every process of the machine is walked.
//
// A process is keyed by pid and start time: a reused pid is a new entry. The proc connector
// works only in the initial network namespace; the index must be opened there. Used by one
// thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file.h"

namespace qltdifw {

struct IndexedProcess {
  pid_t pid = 0;
  uint64_t startTime = 0;  // clock ticks after boot, /proc/<pid>/stat field 22
  uint32_t uid = 0;
  uint64_t sequence = 0;  // order of arrival: larger is newer
};

class ProcessIndex {
 public:
  // Called for each exec event with the pid that started a program.
  using ExecHandler = std::function<void(pid_t pid)>;

  explicit ProcessIndex(std::string procRoot = "/proc");
  // Fills the index from /proc and subscribes to the proc connector. False when the connector
  // cannot be used (the index then only holds what Refresh finds).
  bool Open(ExecHandler onExec);
  int Fd() const { return connector_.Get(); }
  // Reads waiting connector events.
  void Receive();
  // Reads /proc again (used when the connector lost events).
  void Refresh();

  // Processes of uid, newest first (all processes when uid is unknown, as -1).
  std::vector<pid_t> CandidatesOf(int64_t uid) const;
  bool Alive(pid_t pid, uint64_t startTime) const;
  size_t Size() const { return processes_.size(); }

  // /proc/<pid>/stat start time and real uid; false when the process is gone.
  bool ReadIdentity(pid_t pid, uint64_t* startTime, uint32_t* uid) const;

 private:
  void Add(pid_t pid);

  std::string procRoot_;
  qxfw::platform::UniqueFd connector_;
  ExecHandler onExec_;
  std::unordered_map<pid_t, IndexedProcess> processes_;
  uint64_t sequence_ = 0;
};

}  // namespace qltdifw
