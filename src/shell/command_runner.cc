#include "shell/command_runner.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <mutex>
#include <thread>

extern char** environ;

namespace qxfw::shell {

int RunCommandAndWait(const std::vector<std::string>& argv) {
  if (argv.empty()) return EINVAL;
  std::vector<std::string> copies = argv;
  std::vector<char*> pointers;
  for (std::string& arg : copies) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  pid_t child = -1;
  int error = posix_spawnp(&child, pointers[0], nullptr, nullptr, pointers.data(), environ);
  if (error != 0) return error;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return 0;
}

// The state the command's thread shares with its owner; it outlives whichever ends last.
struct CBackgroundCommand::Shared {
  std::mutex mutex;
  bool running = false;
  bool ownerGone = false;
};

CBackgroundCommand::CBackgroundCommand() : shared_(std::make_shared<Shared>()) {}

CBackgroundCommand::~CBackgroundCommand() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->ownerGone = true;
}

bool CBackgroundCommand::Start(std::function<int()> job, Done done) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->running) return false;
    shared_->running = true;
  }
  // Detached: the owner never waits for the command. The thread keeps the shared state and
  // reports only while the owner is there; the lock is held across the report so the owner
  // cannot go in the middle of it.
  std::thread([shared = shared_, job = std::move(job), done = std::move(done)] {
    int result = job();
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->running = false;
    if (!shared->ownerGone && done) done(result);
  }).detach();
  return true;
}

bool CBackgroundCommand::Running() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->running;
}

}  // namespace qxfw::shell
