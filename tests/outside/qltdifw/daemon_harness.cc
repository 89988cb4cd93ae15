#include "daemon_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/file.h"
#include "platform/named_event.h"

namespace qltdifw::test {

using namespace qxfw::firewall;

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

NetnsPair::NetnsPair() {
  // A second pair of the same test gets names of its own.
  static int pairs = 0;
  std::string id = std::to_string(getpid()) + (++pairs > 1 ? "x" + std::to_string(pairs) : "");
  a = "qxdA" + id;
  b = "qxdB" + id;
  std::string va = "qxva" + id, vb = "qxvb" + id;
  ok_ = Shell("ip netns add " + a) && Shell("ip netns add " + b) &&
        Shell("ip link add " + va + " netns " + a + " type veth peer name " + vb + " netns " + b) &&
        Shell("ip -n " + a + " addr add " + kAddressA + "/24 dev " + va) &&
        Shell("ip -n " + b + " addr add " + kAddressB + "/24 dev " + vb) &&
        Shell("ip -n " + a + " link set " + va + " up") &&
        Shell("ip -n " + b + " link set " + vb + " up") &&
        Shell("ip -n " + a + " link set lo up") && Shell("ip -n " + b + " link set lo up");
}

NetnsPair::~NetnsPair() {
  // Deleting a namespace takes its veth end, and with it the peer, and its iptables rules.
  Shell("ip netns delete " + a);
  Shell("ip netns delete " + b);
}

pid_t ForkIn(const std::string& ns, std::function<int()> fn, std::vector<int> keep) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::sort(keep.begin(), keep.end());
  unsigned from = 3;
  for (int fd : keep) {
    if (fd >= static_cast<int>(from)) {
      if (fd > static_cast<int>(from)) close_range(from, static_cast<unsigned>(fd) - 1, 0);
      from = static_cast<unsigned>(fd) + 1;
    }
  }
  close_range(from, ~0u, 0);
  int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
  close(fd);
  _exit(fn());
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Server::Server(const std::string& ns) {
  int ready[2];
  if (pipe(ready) != 0) return;
  int readyWrite = ready[1];
  pid_ = ForkIn(
      ns,
      [&] {
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        int keep = socket(AF_INET, SOCK_STREAM, 0);
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        setsockopt(keep, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPort);
        sockaddr_in keepAddress = address;
        keepAddress.sin_port = htons(kKeepOpenPort);
        if (bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(tcp, 4096) != 0 ||
            bind(keep, reinterpret_cast<sockaddr*>(&keepAddress), sizeof(keepAddress)) != 0 ||
            listen(keep, 64) != 0 ||
            bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
          return 1;
        }
        (void)!write(ready[1], "x", 1);
        pollfd polls[3] = {{tcp, POLLIN, 0}, {udp, POLLIN, 0}, {keep, POLLIN, 0}};
        std::vector<int> kept;
        for (;;) {
          if (poll(polls, 3, -1) < 0) continue;
          if (polls[0].revents != 0) {
            int peer = accept(tcp, nullptr, nullptr);
            if (peer >= 0) close(peer);
          }
          if (polls[2].revents != 0) {
            int peer = accept(keep, nullptr, nullptr);
            if (peer >= 0) kept.push_back(peer);
          }
          if (polls[1].revents != 0) {
            char buffer[512];
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            ssize_t n = recvfrom(udp, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from),
                                 &length);
            if (n > 0) sendto(udp, buffer, n, 0, reinterpret_cast<sockaddr*>(&from), length);
          }
        }
      },
      {readyWrite});
  char byte;
  (void)!read(ready[0], &byte, 1);
  close(ready[0]);
  close(ready[1]);
}

Server::~Server() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitChild(pid_);
  }
}

int ConnectTcp(const char* address, uint16_t port, int timeoutMs, double* elapsedMs) {
  auto start = std::chrono::steady_clock::now();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, address, &to.sin_addr);
  int result = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    result = errno;
    if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int n = poll(&p, 1, timeoutMs);
      if (n == 0) {
        result = ETIMEDOUT;
      } else {
        socklen_t length = sizeof(result);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length);
      }
    }
  }
  close(fd);
  if (elapsedMs != nullptr) {
    *elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  return result;
}

Daemon::Daemon(const NetnsPair& pair, std::vector<std::string> extraArgs) {
  // The same queue each time: a queue number is per namespace, and a daemon started again on
  // the same pair must meet the rules of the one before.
  queue = static_cast<uint16_t>(20000 + getpid() % 20000);
  static int instances = 0;
  ++instances;
  runtimeDir = (std::filesystem::temp_directory_path() /
                ("qxd-run-" + std::to_string(getpid()) + "-" + std::to_string(instances)))
                   .string();
  std::filesystem::create_directories(runtimeDir);
  socketPath = runtimeDir + "/" + kDeviceSocketName;
  logPath = runtimeDir + ".log";
  std::vector<std::string> args = {QLTDIFW_BINARY,  "--foreground", "--netns",
                                   pair.a,          "--queue",      std::to_string(queue),
                                   "--runtime-dir", runtimeDir};
  for (std::string& arg : extraArgs) args.push_back(arg);
  pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (getenv("QLTDIFW_TEST_VERBOSE") == nullptr && log >= 0) dup2(log, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Ready once the device answers.
  for (int i = 0; i < 200 && !ok_; ++i) {
    struct stat st;
    if (stat(socketPath.c_str(), &st) == 0) ok_ = true;
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    if (!ok_) usleep(20000);
  }
}

void Daemon::Stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 250; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    usleep(20000);
  }
  kill(pid, SIGKILL);
  WaitChild(pid);
  pid = -1;
}

Daemon::~Daemon() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(runtimeDir, ignored);
  std::filesystem::remove(logPath, ignored);
}

std::string Daemon::Log() const {
  std::string text;
  qxfw::platform::ReadWholeFile(logPath, &text, 64 << 20);
  return text;
}

long Daemon::RssKilobytes() const {
  std::string status;
  if (pid <= 0 ||
      !qxfw::platform::ReadWholeFile("/proc/" + std::to_string(pid) + "/status", &status, 65536)) {
    return -1;
  }
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

ProgramDouble::ProgramDouble(const std::string& socketPath)
    : folder_(socketPath.substr(0, socketPath.rfind('/'))) {
  openStatus_ = client_.Open(socketPath);
}

ProgramDouble::~ProgramDouble() {
  StopAndClose();
}

void ProgramDouble::Start(Decide decide) {
  thread_ = std::thread([this, decide] {
    auto event = qxfw::platform::NamedEventHandle::Open(
        kNetworkNotifyEventName, qxfw::platform::EventScope::kSystem, nullptr, folder_);
    while (!stop_) {
      if (event) {
        event->Wait(20);
      } else {
        usleep(2000);
      }
      for (;;) {
        CNETWORK_REQUEST request{};
        uint32_t got = 0;
        uint32_t status = client_.Call(IOCTL_GET_NETWORK_REQUEST, &request, sizeof(request),
                                       &request, sizeof(request), &got);
        if (status != kStatusSuccess || got != sizeof(request)) break;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          seen_.push_back(request);
        }
        int verdict = decide(request);
        if (verdict < 0) continue;
        tagVERDICT answer{request.requestHandle, static_cast<uint32_t>(verdict)};
        client_.Call(IOCTL_SET_VERDICT, &answer, sizeof(answer), nullptr, 0, &got);
      }
    }
  });
}

void ProgramDouble::StopAndClose() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  client_.Close();
}

std::vector<CNETWORK_REQUEST> ProgramDouble::Seen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

size_t ProgramDouble::SeenCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_.size();
}

}  // namespace qltdifw::test
