// Who holds the exclusive lock of a file: read from /proc/locks, which names the process of
// every flock by the file's device and inode.
//
// The rule store asks when its files are taken, to wait for a short-lived holder (qxfwctl) and
// to say in a refusal what holds them. Stateless and thread-safe.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qxfw::platform {

struct LockHolder {
  pid_t pid = 0;
  std::string program;  // file name of the holder's executable (its command name if unreadable)
};

// The process that took a flock on the file at path; none when nobody holds one or that
// process has gone (a child that inherited the file may still hold it). locksFile: the kernel's
// lock list (tests pass their own).
std::optional<LockHolder> LockHolderOf(const std::string& path,
                                       const std::string& locksFile = "/proc/locks");

}  // namespace qxfw::platform
