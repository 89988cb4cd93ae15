// Test helper: a loopback TCP server whose conduct the test scripts, for servers and clients
// that misbehave (trickling, flooding, stalling). Each connection runs the handler on a thread
// of its own; destruction closes the listener, tells handlers to stop and joins them.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qxfw::avlib {

class ScriptedPeer {
 public:
  // handler(fd, peer) runs once per accepted connection; it should return soon after
  // peer.stopping() turns true.
  using Handler = std::function<void(int fd, ScriptedPeer& peer)>;

  explicit ScriptedPeer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listen_fd_, 16);
    socklen_t size = sizeof at;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&at), &size);
    port_ = ntohs(at.sin_port);
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~ScriptedPeer() {
    stopping_ = true;
    accept_thread_.join();
    close(listen_fd_);
    std::lock_guard<std::mutex> hold(lock_);
    for (std::thread& t : connections_) t.join();
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  bool stopping() const { return stopping_; }
  int connections() const { return accepted_; }

  // Reads an HTTP request header (up to 2 s) and returns its path, "" when none came.
  static std::string ReadRequestPath(int fd) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) return {};
      ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return {};
      request.append(buffer, static_cast<size_t>(got));
    }
    size_t end = request.find(' ', 4);
    return request.compare(0, 4, "GET ") == 0 && end != std::string::npos
               ? request.substr(4, end - 4)
               : std::string();
  }
  static bool SendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  static bool SendOk(int fd, const std::string& body) {
    return SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nConnection: close\r\n\r\n" + body);
  }
  // Sleeps in small steps; false when the peer is stopping.
  bool Pause(std::chrono::milliseconds time) const {
    auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until) {
      if (stopping_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !stopping_;
  }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted_;
      std::lock_guard<std::mutex> hold(lock_);
      connections_.emplace_back([this, fd] {
        handler_(fd, *this);
        close(fd);
      });
    }
  }

  Handler handler_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread accept_thread_;
  std::mutex lock_;
  std::vector<std::thread> connections_;
};

}  // namespace qxfw::avlib
