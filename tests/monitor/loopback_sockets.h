// Test helpers: real IPv4 sockets on 127.0.0.1 for the connection-table tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/file.h"

namespace qxfw::test_support {

inline sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Local port (host order) of a bound socket; 0 on error.
inline uint16_t LocalPortOf(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

inline platform::UniqueFd BoundSocket(int type, uint16_t port, bool reusePort = false) {
  platform::UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  int one = 1;
  if (reusePort) setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
  sockaddr_in address = LoopbackAddress(port);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return {};
  return fd;
}

inline platform::UniqueFd TcpListener(int backlog = 128) {
  platform::UniqueFd fd = BoundSocket(SOCK_STREAM, 0);
  if (fd.Valid() && listen(fd.Get(), backlog) != 0) return {};
  return fd;
}

inline platform::UniqueFd TcpConnect(uint16_t port) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = LoopbackAddress(port);
  if (!fd.Valid() || connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address))) {
    return {};
  }
  return fd;
}

inline platform::UniqueFd TcpAccept(int listener) {
  return platform::UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// An established loopback TCP connection with both ends in this process, and its listener.
struct LoopbackConnection {
  platform::UniqueFd listener;
  platform::UniqueFd client;
  platform::UniqueFd server;
  uint16_t serverPort = 0;  // host order
  uint16_t clientPort = 0;

  bool Valid() const { return listener.Valid() && client.Valid() && server.Valid(); }
};

// Opens a listener on an ephemeral port, connects to it and accepts; Valid() is false when any
// step failed (no accept is tried without a connected client, so it cannot hang).
inline LoopbackConnection ConnectLoopback() {
  LoopbackConnection connection;
  connection.listener = TcpListener();
  if (!connection.listener.Valid()) return connection;
  connection.serverPort = LocalPortOf(connection.listener.Get());
  connection.client = TcpConnect(connection.serverPort);
  if (!connection.client.Valid()) return connection;
  connection.clientPort = LocalPortOf(connection.client.Get());
  connection.server = TcpAccept(connection.listener.Get());
  return connection;
}

// Polls condition every 10 ms for up to timeout; true once it holds.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace qxfw::test_support
