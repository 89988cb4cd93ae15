// Which program a process runs, from the kernel: the file behind /proc/<pid>/exe, compared by
// device and inode with an installed program's path. A text path alone is never trusted.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qxfw::setup {

// True when process pid runs the file at path: the same device and inode, or (after that file
// was replaced by a rename) the kernel's "<path> (deleted)" for the old file of that path.
bool ProcessRunsFile(pid_t pid, const std::string& path);

// The real user id of process pid; false when it cannot be read.
bool ProcessUid(pid_t pid, uid_t* uid);

// Processes of user uid (any user when uid is -1) that run path, this process excluded.
std::vector<pid_t> FindProcessesRunning(const std::string& path, uid_t uid);

// Sends SIGTERM to pid when it still runs path, waits up to graceMs for it to end, then sends
// SIGKILL (after checking again). True when the process is gone.
bool EndProcessRunning(pid_t pid, const std::string& path, int graceMs);

}  // namespace qxfw::setup
