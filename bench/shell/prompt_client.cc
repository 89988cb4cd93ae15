// prompt_client ADDRESS PORT: prints CLOCK_MONOTONIC in nanoseconds, then connects to
// ADDRESS:PORT over TCP; exit status 0 when the connection was made. The unknown program of
// bench/shell/prompt_latency.sh: small, so that it starts at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: prompt_client ADDRESS PORT\n");
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 2;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 2;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::printf("%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  std::fflush(stdout);
  int result = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
  return result == 0 ? 0 : 1;
}
