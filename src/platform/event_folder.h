// The folders that hold named events and the instance link, and the checks that keep other
// users out of them.
//
// A user's events live in a private folder of the user's (mode 0700): another user can neither
// bind a name there first nor connect to one. The filter daemon's events live in its runtime
// folder, which only root may write. Each folder is opened once and checked through that
// descriptor, and names are bound and connected through it ("/proc/self/fd/<n>/<name>"), so the
// folder checked is the folder used, and long folder paths still fit a socket address.
//
// Threading: plain functions, safe from any thread.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/file.h"

namespace qxfw::platform {

// This user's private folder of named events, created when missing:
//   $XDG_RUNTIME_DIR/qxfw   when $XDG_RUNTIME_DIR is a folder of this user's with mode 0700,
//   /run/user/<uid>/qxfw    under the same condition (a process started by root for the user
//                           carries root's variables),
//   <home>/.cache/qxfw-run  otherwise (home from the password database).
// Returns "" with errno set when none can be had.
std::string UserEventFolder();

enum class FolderGuard {
  kPrivate,    // owned by the user, no access for group and others
  kRootOwned,  // owned by root, no write for group and others
};

// Opens path (a folder; symbolic links in it are followed) and checks owner and mode as guard
// says; for kPrivate the owner is this process's user. Returns an invalid descriptor with errno
// set: EPERM when owner or mode are wrong (a debug line names them), else the open's error.
UniqueFd OpenGuardedFolder(const std::string& path, FolderGuard guard);

// A path naming entry `name` of the folder open as folderFd; short enough for a socket address
// whatever the folder's own path.
std::string PathInFolder(int folderFd, const std::string& name);

}  // namespace qxfw::platform
