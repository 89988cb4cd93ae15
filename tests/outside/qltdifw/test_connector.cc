// A small program for the daemon's tests: connects COUNT times to HOST:PORT over TCP and exits
// with the number of failed connects (0: all succeeded).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  int count = argc > 3 ? std::atoi(argv[3]) : 1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 101;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) ++failed;
    close(fd);
  }
  return failed > 99 ? 99 : failed;
}
