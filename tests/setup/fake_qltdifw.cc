// A stand-in filter daemon for the supervisor tests: serves "<runtime-dir>/qltdifw.sock" until
// SIGTERM, then removes it and exits 0. With FAKE_QLTDIFW_CRASH_MARK set it aborts on its first
// start (creating that file), so the supervisor's restart can be seen.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  std::string runtime;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runtime-dir") == 0) runtime = argv[i + 1];
  }
  if (const char* mark = std::getenv("FAKE_QLTDIFW_CRASH_MARK")) {
    int fd = open(mark, O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd >= 0) std::abort();
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  std::string path = runtime + "/qltdifw.sock";
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  unlink(path.c_str());
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 1) != 0) {
    return 3;
  }
  int sig = 0;
  sigwait(&set, &sig);
  unlink(path.c_str());
  return 0;
}
