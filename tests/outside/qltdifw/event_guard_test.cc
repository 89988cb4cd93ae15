// The daemon's driver events against another user on the same machine: names taken before the
// daemon starts, a flood of openers, openers of another user, a runtime folder others may write,
// and a second daemon with a runtime folder of its own. A second user is played by children that
// change their uid.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon_fixture.h"
#include "platform/named_event.h"

namespace qltdifw::test {
namespace {

using namespace qxfw::firewall;
using namespace std::chrono_literals;

constexpr uid_t kOtherUser = 65534;
constexpr int kFloodOpeners = 1100;

// Abstract socket names carry no permissions, so a squatter takes every abstract name a daemon
// of this test could listen on: the event's own, and the one with the tail of the test process
// (the pid of this process, taken before children are forked).
const pid_t kTestPid = getpid();
std::vector<std::string> AbstractNames(const char* event) {
  return {std::string("qxfw/") + event,
          std::string("qxfw/") + event + "-test" + std::to_string(kTestPid)};
}

socklen_t AbstractAddress(const std::string& name, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

socklen_t PathAddress(const std::string& path, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  std::snprintf(addr->sun_path, sizeof(addr->sun_path), "%s", path.c_str());
  return sizeof(*addr);
}

// Connects to the event `event` of a daemon with runtime folder dir, by every way there is;
// returns the connection or -1.
int ConnectToEvent(const std::string& dir, const char* event) {
  std::vector<std::pair<sockaddr_un, socklen_t>> addresses;
  sockaddr_un addr;
  socklen_t length = PathAddress(dir + "/" + event, &addr);
  addresses.emplace_back(addr, length);
  for (const std::string& name : AbstractNames(event)) {
    length = AbstractAddress(name, &addr);
    addresses.emplace_back(addr, length);
  }
  for (auto& [address, size] : addresses) {
    // A full backlog answers EAGAIN: a few tries, never a wait without end.
    for (int attempt = 0; attempt < 20; ++attempt) {
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return -1;
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0) return fd;
      int why = errno;
      close(fd);
      if (why != EAGAIN) break;
      usleep(1000);
    }
  }
  return -1;
}

// Becomes the other user; false when it cannot.
bool BecomeOtherUser() {
  return setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
         setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
}

// The CPU time (user + system) a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3..13 come before utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> field;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A child that waits for a byte on go, then exits; Release writes it and reaps the child.
struct Held {
  pid_t pid = -1;
  int go = -1;
  void Release() {
    char byte = 0;
    if (go >= 0) (void)!write(go, &byte, 1);
    if (go >= 0) close(go);
    go = -1;
    if (pid > 0) WaitChild(pid);
    pid = -1;
  }
  ~Held() { Release(); }
};

// Runs qltdifw with args until it exits or timeout passes (then kills it). Returns its exit
// status (-1 when killed) and its stderr in *log.
int RunDaemonOnce(const std::vector<std::string>& args, std::string* log, int timeoutMs) {
  std::string logPath = "/tmp/qxd-once-" + std::to_string(getpid()) + ".log";
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<std::string> all = {QLTDIFW_BINARY, "--foreground"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) dup2(fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGTERM);
      WaitChild(pid);
      break;
    }
    usleep(20000);
  }
  std::ifstream in(logPath);
  log->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(logPath.c_str());
  return status;
}

class EventGuardTest : public DaemonTest {
 protected:
  // Connects from namespace ns in a child; returns its exit status (0: connected), and its pid.
  static int ConnectFrom(const std::string& ns, pid_t* pid) {
    *pid = ForkIn(ns, [] { return ConnectTcp(NetnsPair::kAddressB, Server::kPort, 3000); });
    return WaitChild(*pid);
  }
  // True when program saw a request of pid.
  static bool SawPid(ProgramDouble& program, pid_t pid) {
    for (const CNETWORK_REQUEST& request : program.Seen()) {
      if (static_cast<pid_t>(request.processId) == pid) return true;
    }
    return false;
  }
};

TEST_F(EventGuardTest, NamesTakenByAnotherUserStopNeitherTheDaemonNorItsProgram) {
  int ready[2], go[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  Held squatter;
  squatter.pid = fork();
  ASSERT_GE(squatter.pid, 0);
  if (squatter.pid == 0) {
    close(go[1]);  // only the parent may write
    if (!BecomeOtherUser()) _exit(2);
    int bound = 0;
    for (const char* event : {kNetworkNotifyEventName, kLoadImageNotifyEventName}) {
      for (const std::string& name : AbstractNames(event)) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        socklen_t length = AbstractAddress(name, &addr);
        bound += bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0 && listen(fd, 8) == 0;
      }
    }
    char byte = static_cast<char>(bound);
    (void)!write(ready[1], &byte, 1);
    (void)!read(go[0], &byte, 1);
    _exit(0);
  }
  squatter.go = go[1];
  close(go[0]);
  char bound = 0;
  ASSERT_EQ(read(ready[0], &bound, 1), 1);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(bound, 4);  // every abstract name is the squatter's

  StartDaemon();
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  int error = 0;
  auto event = qxfw::platform::NamedEventHandle::Open(
      kNetworkNotifyEventName, qxfw::platform::EventScope::kSystem, &error, daemon_->runtimeDir);
  ASSERT_NE(event, nullptr) << strerror(error);
  EXPECT_EQ(event->CreatorPid(), daemon_->pid);
  program.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictAllow); });
  pid_t connector = 0;
  EXPECT_EQ(ConnectFrom(pair_->a, &connector), 0);
  EXPECT_TRUE(SawPid(program, connector));
  EXPECT_EQ(event->Wait(2000), qxfw::platform::WaitResult::kSignalled);
  program.StopAndClose();
}

TEST_F(EventGuardTest, AFloodOfOpenersNeitherExhaustsNorSpinsTheDaemon) {
  // The descriptor limit most daemons get; the flood is larger.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &small), 0);
  StartDaemon();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  // Two flooders, another user and root, each holding kFloodOpeners connections to the network
  // event. The other user's reports, when told, how many of its connections were served a
  // signal after a request was queued.
  std::string dir = daemon_->runtimeDir;
  Held flooders[2];
  int reports[2][2];
  int tells[2][2];
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(pipe2(reports[f], O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(tells[f], O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Only the parent may write: a release is then a byte or the end of the pipe.
      for (int g = 0; g <= f; ++g) close(tells[g][1]);
      rlimit many{4 * kFloodOpeners, 4 * kFloodOpeners};
      if (setrlimit(RLIMIT_NOFILE, &many) != 0) _exit(3);
      if (f == 0 && !BecomeOtherUser()) _exit(2);
      std::vector<int> fds;
      for (int i = 0; i < kFloodOpeners; ++i) {
        int fd = ConnectToEvent(dir, kNetworkNotifyEventName);
        if (fd >= 0) fds.push_back(fd);
      }
      int count = static_cast<int>(fds.size());
      (void)!write(reports[f][1], &count, sizeof(count));
      char byte;
      if (read(tells[f][0], &byte, 1) != 1) _exit(0);
      // A request was queued: count connections that got its signal.
      std::this_thread::sleep_for(500ms);
      int served = 0;
      for (int fd : fds) {
        char signal;
        served += recv(fd, &signal, 1, MSG_DONTWAIT) == 1;
      }
      (void)!write(reports[f][1], &served, sizeof(served));
      (void)!read(tells[f][0], &byte, 1);
      _exit(0);
    }
    flooders[f].pid = child;
    flooders[f].go = tells[f][1];
    close(tells[f][0]);
    close(reports[f][1]);
  }
  int connected[2] = {0, 0};
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(read(reports[f][0], &connected[f], sizeof(int)), static_cast<ssize_t>(sizeof(int)));
  }
  // Root's connects all complete (turned away or not); the other user's may not.
  EXPECT_GT(connected[1], kFloodOpeners / 2);

  // Idle but flooded: the daemon must not spin.
  double before = CpuSeconds(daemon_->pid);
  std::this_thread::sleep_for(3s);
  double used = CpuSeconds(daemon_->pid) - before;
  EXPECT_LT(used, 0.3) << "daemon CPU seconds in 3 s of a flood of openers";
  std::printf("openers connected: %d of another user, %d of root; daemon CPU %.2f s in 3 s\n",
              connected[0], connected[1], used);

  // A client still attaches, opens the event, and sees requests with their true pids.
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  int error = 0;
  auto event = qxfw::platform::NamedEventHandle::Open(
      kNetworkNotifyEventName, qxfw::platform::EventScope::kSystem, &error, dir);
  ASSERT_NE(event, nullptr) << strerror(error);
  program.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictAllow); });
  pid_t connector = 0;
  EXPECT_EQ(ConnectFrom(pair_->a, &connector), 0);
  EXPECT_TRUE(SawPid(program, connector));
  for (const CNETWORK_REQUEST& request : program.Seen()) EXPECT_NE(request.processId, 0u);
  EXPECT_EQ(event->Wait(2000), qxfw::platform::WaitResult::kSignalled);

  // The other user's connections got nothing.
  char byte = 1;
  ASSERT_EQ(write(flooders[0].go, &byte, 1), 1);
  int served = -1;
  ASSERT_EQ(read(reports[0][0], &served, sizeof(int)), static_cast<ssize_t>(sizeof(int)));
  EXPECT_EQ(served, 0) << "of " << connected[0] << " connections of another user";
  program.StopAndClose();
  for (int f = 0; f < 2; ++f) {
    flooders[f].Release();
    close(reports[f][0]);
  }
}

TEST_F(EventGuardTest, ARuntimeFolderOthersMayWriteIsRefusedLoudly) {
  std::string dir = "/tmp/qxd-open-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
  std::string log;
  int status = RunDaemonOnce({"--netns", pair_->a, "--queue",
                              std::to_string(20000 + (getpid() + 3) % 20000), "--runtime-dir", dir},
                             &log, 3000);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  EXPECT_EQ(status, 1) << log;
  EXPECT_NE(log.find("nothing is filtered"), std::string::npos) << log;
  EXPECT_NE(log.find("writable by root only"), std::string::npos) << log;
}

TEST_F(EventGuardTest, OneDaemonPerRuntimeFolderAndTwoFoldersRunSideBySide) {
  StartDaemon();
  // A second daemon given the same folder says who runs and filters nothing.
  std::string log;
  int status = RunDaemonOnce({"--netns", pair_->a, "--queue", std::to_string(daemon_->queue + 1),
                              "--runtime-dir", daemon_->runtimeDir},
                             &log, 3000);
  EXPECT_EQ(status, 1) << log;
  EXPECT_NE(log.find("another daemon (pid " + std::to_string(daemon_->pid) + ")"),
            std::string::npos)
      << log;
  struct stat st;
  EXPECT_EQ(stat(daemon_->socketPath.c_str(), &st), 0) << "the first daemon's device is kept";

  // A second namespace pair with a daemon and runtime folder of its own.
  NetnsPair second;
  ASSERT_TRUE(second.Ok());
  Server secondServer(second.b);
  Daemon other(second);
  ASSERT_TRUE(other.Ok()) << other.Log();
  ProgramDouble first(daemon_->socketPath), next(other.socketPath);
  ASSERT_EQ(first.OpenStatus(), kStatusSuccess);
  ASSERT_EQ(next.OpenStatus(), kStatusSuccess);
  first.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictAllow); });
  next.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictAllow); });
  pid_t one = 0, two = 0;
  EXPECT_EQ(ConnectFrom(pair_->a, &one), 0);
  EXPECT_EQ(ConnectFrom(second.a, &two), 0);
  EXPECT_TRUE(SawPid(first, one));
  EXPECT_FALSE(SawPid(first, two));
  EXPECT_TRUE(SawPid(next, two));
  EXPECT_FALSE(SawPid(next, one));
  first.StopAndClose();
  next.StopAndClose();
}

}  // namespace
}  // namespace qltdifw::test
