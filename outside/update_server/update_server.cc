#include "update_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "avlib/update_exchange.h"
#include "platform/file.h"

namespace qxfw::update_server {
namespace {

using avlib::DecodeExchange;
using avlib::EncodeExchange;
using Clock = std::chrono::steady_clock;

int Listen(const std::string& address, uint16_t port, uint16_t* bound, std::string* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 64) != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  socklen_t size = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  *bound = ntohs(at.sin_port);
  return fd;
}

bool SafeSegment(const std::string& part) {
  return avlib::ListedNameIsSafe(part);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// One accepted connection: its descriptor and deadlines. Every wait also watches the stop
// event, so Stop never waits for a slow client.
struct UpdateServer::Peer {
  platform::UniqueFd fd;
  int stop_fd;
  Clock::time_point request_deadline;
  Clock::time_point deadline;

  // Waits until fd is ready for events before the deadline; false on the deadline or stop.
  bool Wait(short events, Clock::time_point until) const {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{fd.Get(), events, 0}, {stop_fd, POLLIN, 0}};
      int ready = poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || fds[1].revents) return false;
      return true;
    }
  }
  // Some bytes of the request; 0 at its end, -1 on a failure or when time is up.
  ssize_t Receive(char* buffer, size_t size) const {
    for (;;) {
      if (!Wait(POLLIN, std::min(request_deadline, deadline))) return -1;
      ssize_t got = recv(fd.Get(), buffer, size, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return got;
    }
  }
  bool Send(std::string_view text) const {
    size_t sent = 0;
    while (sent < text.size()) {
      if (!Wait(POLLOUT, deadline)) return false;
      ssize_t n =
          send(fd.Get(), text.data() + sent, text.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  void SendStatus(const char* status) const {
    Send(std::string("HTTP/1.0 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }
};

std::string UpdateServer::MakeList(const std::string& word_folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(word_folder.c_str())) {
    while (dirent* item = readdir(dir)) {
      std::string name = item->d_name;
      if (name[0] != '.' && name != avlib::kListPage && !EndsWith(name, avlib::kSignatureSuffix))
        names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string& name : names) {
    struct stat st;
    if (stat((word_folder + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    list += avlib::FormatListStamp(st.st_mtime) + "," + name + "," + std::to_string(st.st_size) +
            "\r\n";
  }
  return list;
}

bool UpdateServer::Start(std::string* error) {
  question_fd_ = Listen(config_.listen_address, config_.question_port, &question_port_, error);
  if (question_fd_ < 0) return false;
  http_fd_ = Listen(config_.listen_address, config_.http_port, &http_port_, error);
  if (http_fd_ < 0) {
    close(question_fd_);
    question_fd_ = -1;
    return false;
  }
  if (config_.base.empty())
    config_.base = "http://" + config_.listen_address + ":" + std::to_string(http_port_) + "/";
  stop_fd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void UpdateServer::Stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) != sizeof one) {
    }
    thread_.join();
    // The event stays set, so every connection thread leaves its wait.
    std::unique_lock<std::mutex> hold(lock_);
    idle_.wait(hold, [this] { return active_ == 0; });
  }
  for (int* fd : {&question_fd_, &http_fd_, &stop_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

std::string UpdateServer::last_question() const {
  std::lock_guard<std::mutex> hold(lock_);
  return last_question_;
}

void UpdateServer::Serve() {
  for (;;) {
    pollfd fds[3] = {{stop_fd_, POLLIN, 0}, {question_fd_, POLLIN, 0}, {http_fd_, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    for (int i = 1; i < 3; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      platform::UniqueFd peer(accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
      if (!peer.Valid()) {
        // Out of descriptors: give the others time instead of spinning on the listener.
        if (errno == EMFILE || errno == ENFILE) usleep(100000);
        continue;
      }
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (active_ >= config_.max_connections) continue;  // closed at once
        ++active_;
      }
      const bool question = i == 1;
      int fd = peer.Release();
      try {
        std::thread([this, fd, question] { ServeConnection(fd, question); }).detach();
      } catch (const std::system_error&) {
        close(fd);
        std::lock_guard<std::mutex> hold(lock_);
        --active_;
        idle_.notify_all();
      }
    }
  }
}

void UpdateServer::ServeConnection(int fd, bool question) {
  const Clock::time_point now = Clock::now();
  Peer peer{platform::UniqueFd(fd), stop_fd_,
            now + std::chrono::milliseconds(config_.request_deadline_ms),
            now + std::chrono::milliseconds(config_.connection_deadline_ms)};
  if (question) {
    AnswerQuestion(peer);
  } else {
    AnswerHttp(peer);
  }
  peer.fd.Reset();
  std::lock_guard<std::mutex> hold(lock_);
  --active_;
  idle_.notify_all();
}

void UpdateServer::AnswerQuestion(Peer& peer) {
  ++questions_;
  const std::string expected = EncodeExchange(avlib::kUpdateQuestion);
  std::string letters;
  char buffer[avlib::kMaxAnswerBytes];
  while (letters.size() < expected.size()) {
    ssize_t got = peer.Receive(buffer, sizeof buffer);
    if (got <= 0) break;
    letters.append(buffer, static_cast<size_t>(got));
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    last_question_ = letters;
  }
  if (config_.close_without_answer) return;
  std::string plain;
  if (config_.answer_override) {
    plain = *config_.answer_override;
  } else if (DecodeExchange(letters) == avlib::kUpdateQuestion) {
    plain = "EA" + config_.high + ";" + config_.low + ";" + config_.base;
  } else {
    return;
  }
  const std::string letters_out = EncodeExchange(plain);
  if (config_.answer_in_pieces) {
    peer.Send(letters_out.substr(0, letters_out.size() / 2));
    usleep(50000);
    peer.Send(letters_out.substr(letters_out.size() / 2));
  } else {
    peer.Send(letters_out);
  }
  shutdown(peer.fd.Get(), SHUT_WR);
}

bool UpdateServer::Body(const std::string& word, const std::string& name, std::string* body) const {
  const std::string word_folder = config_.folder + "/" + word;
  if (platform::ReadWholeFile(word_folder + "/" + name, body, 1024u << 20)) return true;
  struct stat st;
  if (stat(word_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (name == avlib::kListPage) {
    *body = MakeList(word_folder);
    return true;
  }
  if (!config_.signer || !EndsWith(name, avlib::kSignatureSuffix)) return false;
  const std::string signed_name = name.substr(0, name.size() - strlen(avlib::kSignatureSuffix));
  if (!SafeSegment(signed_name)) return false;
  if (signed_name == avlib::kListPage) {
    std::string list;
    if (!Body(word, avlib::kListPage, &list)) return false;
    *body = config_.signer->Sign(avlib::ListStatement(word, list));
  } else {
    std::array<uint8_t, 32> sha256;
    uint64_t size = 0;
    if (!avlib::HashFile(word_folder + "/" + signed_name, &sha256, &size)) return false;
    *body = config_.signer->Sign(avlib::FileStatement(word, signed_name, size, sha256));
  }
  return !body->empty();
}

void UpdateServer::AnswerHttp(Peer& peer) {
  ++http_requests_;
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    ssize_t got = peer.Receive(buffer, sizeof buffer);
    if (got <= 0) return;
    request.append(buffer, static_cast<size_t>(got));
  }
  if (request.compare(0, 4, "GET ") != 0) return peer.SendStatus("405 Method Not Allowed");
  size_t end = request.find(' ', 4);
  if (end == std::string::npos) return peer.SendStatus("400 Bad Request");
  std::string path = request.substr(4, end - 4);
  // /<word>/<name>, both plain names; percent escapes are decoded once.
  std::string decoded;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() &&
        isxdigit(static_cast<unsigned char>(path[i + 1])) &&
        isxdigit(static_cast<unsigned char>(path[i + 2]))) {
      decoded.push_back(static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      decoded.push_back(path[i]);
    }
  }
  size_t slash = decoded.find('/', 1);
  if (decoded.empty() || decoded[0] != '/' || slash == std::string::npos)
    return peer.SendStatus("404 Not Found");
  std::string word = decoded.substr(1, slash - 1);
  std::string name = decoded.substr(slash + 1);
  std::string body;
  if (!avlib::VersionWordIsSafe(word) || !SafeSegment(name) || !Body(word, name, &body))
    return peer.SendStatus("404 Not Found");
  if (peer.Send("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n"))
    peer.Send(body);
}

}  // namespace qxfw::update_server
