#include "setup/setup_user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/debug_output.h"

namespace qxfw::setup {
namespace {

bool ParseUid(const char* text, uid_t* uid) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFEul) return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

bool FillFromPasswd(uid_t uid, SetupUser* user) {
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  user->uid = uid;
  user->gid = pw.pw_gid;
  user->name = pw.pw_name != nullptr ? pw.pw_name : "";
  user->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
  return true;
}

}  // namespace

SetupUser CurrentSetupUser() {
  SetupUser user;
  uid_t self = getuid();
  if (!FillFromPasswd(self, &user)) {
    user.uid = self;
    user.gid = getgid();
  }
  if (self != 0) return user;
  const char* asked = std::getenv("PKEXEC_UID");
  if (asked == nullptr) return user;
  uid_t uid = 0;
  SetupUser other;
  if (!ParseUid(asked, &uid) || !FillFromPasswd(uid, &other)) {
    platform::DebugOutput(
        "[QXFWSetup] CurrentSetupUser: PKEXEC_UID %s is not a user, working for root", asked);
    return user;
  }
  other.switchNeeded = other.uid != 0;
  return other;
}

int RunAsUser(const SetupUser& user, const std::function<int()>& work) {
  if (!user.switchNeeded) return work();
  pid_t child = fork();
  if (child < 0) {
    platform::DebugOutput("[QXFWSetup] RunAsUser: fork failed (%s)", std::strerror(errno));
    return -1;
  }
  if (child == 0) {
    // Groups first: after setuid the process may no longer change them.
    if (initgroups(user.name.c_str(), user.gid) != 0 || setgid(user.gid) != 0 ||
        setuid(user.uid) != 0 || getuid() != user.uid || geteuid() != user.uid) {
      _exit(126);
    }
    if (!user.home.empty() && chdir(user.home.c_str()) != 0 && chdir("/") != 0) _exit(126);
    _exit(work() & 0xFF);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status)) return -1;
  int code = WEXITSTATUS(status);
  if (code == 126) {
    platform::DebugOutput("[QXFWSetup] RunAsUser: cannot become user %u",
                          static_cast<unsigned>(user.uid));
    return -1;
  }
  return code;
}

}  // namespace qxfw::setup
