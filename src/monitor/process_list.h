// CProcessList: one snapshot of the running processes, read from /proc.
//
// The access decision asks it for the path and name of a requesting process, the network
// view takes one per row, the process dialogs one per listing and the module scan walks it.
// Construction takes the snapshot; it never changes afterwards. The walk (MoveNext and the
// current-entry accessors) visits processes in /proc order. PathOf, OwnerOf and EndProcess
// look at the live system, not at the snapshot.
//
// Processes end at any moment: one that vanishes while the snapshot is taken is left out, and
// lookups for a process that has gone return the empty answers described below.
//
// An object is used by one thread at a time. The image-path lookup is process-wide and may be
// set once at start, before other threads take snapshots.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "monitor/trusted_path.h"
#include "platform/system_time.h"

namespace qxfw::monitor {

class CProcessList {
 public:
  // Answers which executable a process runs when /proc will not tell (another user's process
  // while not root); the program wires the image cache here. Empty answer: unknown.
  using ImagePathLookup = std::function<std::string(uint32_t processId)>;
  static void SetImagePathLookup(ImagePathLookup lookup);

  // Takes the snapshot of /proc. An unreadable /proc gives an empty walk.
  CProcessList();
  // Same, from another proc mount (tests).
  explicit CProcessList(std::string procRoot);

  // The first call (and the first after a walk has ended) goes to the first process; later
  // calls to the next one. False after the last.
  bool MoveNext();

  // The current process; zeros and empty texts when no walk is under way.
  uint32_t GetProcessId() const;
  // The command name; the kernel keeps only its first 15 bytes, so a cut name is completed
  // from the executable's file name or the first command-line word when they start with it.
  const std::string& GetProcessName() const;
  uint32_t GetThreadCount() const;
  uint32_t GetParentProcessId() const;
  // The process's start, in local calendar fields.
  platform::SYSTEMTIME GetCreationTime() const;

  // Restarts the walk and returns the name of the first process with that id, or none. The
  // walk then stands on that process (or has ended when none was found).
  std::optional<std::string> NameOf(uint32_t processId);

  // The program the process runs, as the kernel knows it (see trusted_path.h).
  RunningProgram ProgramOf(uint32_t processId) const;

  // Path of the process's executable that rules may match: the trusted path of /proc/<id>/exe;
  // empty when that link names another file than the one running (another mount namespace, a
  // replaced or deleted executable). When the link cannot be read at all, the image-path
  // lookup answers, else an empty text.
  std::string PathOf(uint32_t processId) const;

  // User name of the process's effective owner (the number when the user has no name), or none
  // when the process cannot be read. The host name becomes the domain of the last lookup.
  std::optional<std::string> OwnerOf(uint32_t processId);
  const std::string& GetOwnerDomain() const { return m_domain; }

  // Kills the process (SIGKILL). False when there is no such process or it may not be
  // signalled; the latter also writes a debug line. Process ids that kill(2) reads as a
  // group or "everyone" (0 and above INT_MAX) are refused.
  static bool EndProcess(uint32_t processId);

  size_t Count() const { return m_entries.size(); }

 private:
  struct Entry {
    uint32_t processId;
    uint32_t parentId;
    uint32_t threadCount;
    int64_t startNs;  // since the epoch
    std::string name;
  };

  void TakeSnapshot();
  static bool ReadEntry(int procFd, uint32_t processId, int64_t bootNs, Entry* entry);
  const Entry* Current() const;

  std::string m_procRoot;
  std::vector<Entry> m_entries;
  size_t m_next = 0;  // index of the entry MoveNext goes to
  bool m_walking = false;
  std::string m_domain;
  bool m_domainKnown = false;                             // the host name is asked once per object
  std::unordered_map<uint32_t, std::string> m_userNames;  // user names looked up so far
};

}  // namespace qxfw::monitor
