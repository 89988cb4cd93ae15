#include "setup/process_identity.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace qxfw::setup {
namespace {

std::string ProcPath(pid_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

bool Alive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  // A zombie has ended; only its parent's wait remains.
  std::ifstream stat(ProcPath(pid, "stat"));
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

}  // namespace

bool ProcessRunsFile(pid_t pid, const std::string& path) {
  if (pid <= 0) return false;
  struct stat want {
  }, have{};
  std::string exe = ProcPath(pid, "exe");
  if (stat(exe.c_str(), &have) != 0) return false;
  if (stat(path.c_str(), &want) == 0 && want.st_dev == have.st_dev && want.st_ino == have.st_ino) {
    return true;
  }
  char target[4096];
  ssize_t n = readlink(exe.c_str(), target, sizeof(target) - 1);
  if (n <= 0) return false;
  return std::string(target, static_cast<size_t>(n)) == path + " (deleted)";
}

bool ProcessUid(pid_t pid, uid_t* uid) {
  struct stat st {};
  if (stat(ProcPath(pid, "").c_str(), &st) != 0) return false;
  std::ifstream status(ProcPath(pid, "status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0) {
      *uid = static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
      return true;
    }
  }
  return false;
}

std::vector<pid_t> FindProcessesRunning(const std::string& path, uid_t uid) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  pid_t self = getpid();
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    uid_t owner = 0;
    if (uid != static_cast<uid_t>(-1) && (!ProcessUid(pid, &owner) || owner != uid)) continue;
    if (ProcessRunsFile(static_cast<pid_t>(pid), path)) found.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return found;
}

bool EndProcessRunning(pid_t pid, const std::string& path, int graceMs) {
  if (!ProcessRunsFile(pid, path)) return !Alive(pid);
  kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Alive(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (ProcessRunsFile(pid, path)) kill(pid, SIGKILL);
  for (int i = 0; i < 100 && Alive(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !Alive(pid);
}

}  // namespace qxfw::setup
