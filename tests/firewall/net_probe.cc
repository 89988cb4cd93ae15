// net_probe: the integration tests' own client and server.
//   net_probe serve ADDR TCPPORT... [-u UDPPORT...]   answers each TCP connection with a short
//                                                     HTTP reply, echoes UDP datagrams
//   net_probe tcp ADDR PORT TIMEOUT_MS [COUNT [PAUSE_MS]]   COUNT connections one after another
//   net_probe udp ADDR PORT TIMEOUT_MS                     one datagram, waits for the echo
// The client prints "pid <its pid>", then "ok|refused|timeout|error <milliseconds>" per attempt and
// exits 0 when all attempts succeeded, 1 when one was refused, 2 on a time-out, 3 on another error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

sockaddr_in Address(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

int Serve(const char* ip, const std::vector<int>& tcp, const std::vector<int>& udp) {
  std::vector<pollfd> fds;
  std::vector<bool> isUdp;
  for (int port : tcp) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = Address(ip, port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 128) != 0) {
      std::perror("tcp");
      return 3;
    }
    fds.push_back({s, POLLIN, 0});
    isUdp.push_back(false);
  }
  for (int port : udp) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Address(ip, port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      std::perror("udp");
      return 3;
    }
    fds.push_back({s, POLLIN, 0});
    isUdp.push_back(true);
  }
  std::printf("serving\n");
  std::fflush(stdout);
  const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      if (isUdp[i]) {
        char buffer[512];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fds[i].fd, buffer, sizeof(buffer), 0,
                             reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) sendto(fds[i].fd, buffer, n, 0, reinterpret_cast<sockaddr*>(&from), len);
        continue;
      }
      int c = accept(fds[i].fd, nullptr, nullptr);
      if (c < 0) continue;
      char buffer[1024];
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 200) > 0) (void)!read(c, buffer, sizeof(buffer));
      (void)!write(c, reply, sizeof(reply) - 1);
      close(c);
    }
  }
}

// 0 ok, 1 refused, 2 time-out, 3 other.
int ConnectOnce(bool udp, const char* ip, int port, int timeoutMs) {
  int s = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK, 0);
  sockaddr_in a = Address(ip, port);
  int result = 3;
  if (udp) {
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    if (send(s, "ping", 4, 0) == 4) {
      pollfd p{s, POLLIN, 0};
      int ready = poll(&p, 1, timeoutMs);
      char buffer[16];
      if (ready == 0) {
        result = 2;
      } else if (recv(s, buffer, sizeof(buffer), 0) == 4) {
        result = 0;
      } else {
        result = errno == ECONNREFUSED ? 1 : 3;
      }
    }
  } else if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 || errno == EINPROGRESS) {
    pollfd p{s, POLLOUT, 0};
    int ready = poll(&p, 1, timeoutMs);
    int error = 0;
    socklen_t len = sizeof(error);
    if (ready == 0) {
      result = 2;
    } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0) {
      result = error == 0 ? 0 : error == ECONNREFUSED ? 1 : error == ETIMEDOUT ? 2 : 3;
    }
  }
  close(s);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "serve") == 0) {
    std::vector<int> tcp, udp;
    bool inUdp = false;
    for (int i = 3; i < argc; ++i) {
      if (std::strcmp(argv[i], "-u") == 0) {
        inUdp = true;
      } else {
        (inUdp ? udp : tcp).push_back(std::atoi(argv[i]));
      }
    }
    return Serve(argv[2], tcp, udp);
  }
  if (argc >= 5 && (std::strcmp(argv[1], "tcp") == 0 || std::strcmp(argv[1], "udp") == 0)) {
    bool udp = argv[1][0] == 'u';
    std::printf("pid %d\n", static_cast<int>(getpid()));
    int count = argc >= 6 ? std::atoi(argv[5]) : 1;
    int pauseMs = argc >= 7 ? std::atoi(argv[6]) : 0;
    int worst = 0;
    static const char* kNames[] = {"ok", "refused", "timeout", "error"};
    for (int i = 0; i < count; ++i) {
      auto start = std::chrono::steady_clock::now();
      int r = ConnectOnce(udp, argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
      std::printf("%s %lld\n", kNames[r], static_cast<long long>(ms));
      std::fflush(stdout);
      if (r > worst) worst = r;
      if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return worst;
  }
  std::fprintf(
      stderr,
      "usage: net_probe serve ADDR PORT... [-u PORT...] | tcp|udp ADDR PORT MS [N [PAUSE]]\n");
  return 3;
}
