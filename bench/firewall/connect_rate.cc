// Connect-rate driver for the daemon benchmark.
//   connect_rate serve PORT              accepts and closes connections for ever
//   connect_rate run HOST PORT SECONDS   connects one after another; prints the rate and the
//                                        p50/p99 connect latency
//   connect_rate once HOST PORT          one connect; prints its latency in microseconds
// Connections are closed with a reset so no TIME_WAIT piles up on the client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Serve(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 4096) != 0) {
    std::perror("serve");
    return 1;
  }
  for (;;) {
    int peer = accept(fd, nullptr, nullptr);
    if (peer >= 0) close(peer);
  }
}

// One connect; its latency in microseconds, or a negative errno.
double ConnectOnce(const sockaddr_in& to) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  auto start = Clock::now();
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  auto end = Clock::now();
  int error = errno;
  linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  close(fd);
  if (rc != 0) return -error;
  return std::chrono::duration<double, std::micro>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "serve") == 0) return Serve(std::atoi(argv[2]));
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: connect_rate serve PORT | run HOST PORT SECONDS | once HOST PORT\n");
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
  if (inet_pton(AF_INET, argv[2], &to.sin_addr) != 1) return 2;
  if (std::strcmp(argv[1], "once") == 0) {
    double us = ConnectOnce(to);
    if (us < 0) return 1;
    std::printf("%.1f\n", us);
    return 0;
  }
  double seconds = argc > 4 ? std::atof(argv[4]) : 2.0;
  std::vector<double> latencies;
  latencies.reserve(200000);
  int failures = 0;
  auto start = Clock::now();
  auto until = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < until) {
    double us = ConnectOnce(to);
    if (us < 0) {
      ++failures;
      continue;
    }
    latencies.push_back(us);
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(q * (latencies.size() - 1))];
  };
  std::printf("connections %zu failures %d rate %.0f/s p50 %.1f us p99 %.1f us\n", latencies.size(),
              failures, latencies.size() / elapsed, at(0.5), at(0.99));
  return 0;
}
