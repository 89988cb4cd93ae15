// The user an installer run works for, and running a piece of work with that user's rights.
//
// A normal user's run works for that user. A run as root started through pkexec works for the
// user who asked (PKEXEC_UID), never for root: the per-user folders are that user's, and files
// in them are written by a child process that has become that user, so a symbolic link the user
// planted never makes root write elsewhere and no root-owned file is left behind. A run as root
// without PKEXEC_UID works for root.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace qxfw::setup {

struct SetupUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
  // True when the process runs as root for another user: user work is done in a child.
  bool switchNeeded = false;
};

// The user of this run, from the real user id and PKEXEC_UID. A PKEXEC_UID that is not a
// known user id is ignored with a debug line (the run then works for root).
SetupUser CurrentSetupUser();

// Runs work with user's rights and returns its result; -1 when the child could not be made or
// did not end normally. Without switchNeeded the work runs in this process.
int RunAsUser(const SetupUser& user, const std::function<int()>& work);

}  // namespace qxfw::setup
