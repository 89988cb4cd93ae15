#include "update_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "avlib/update_exchange.h"
#include "platform/file.h"

namespace qxfw::update_server {
namespace {

using avlib::DecodeExchange;
using avlib::EncodeExchange;

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
      bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 16) != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  socklen_t size = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  *bound = ntohs(at.sin_port);
  return fd;
}

void SetTimeouts(int fd) {
  timeval tv{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void SendText(int fd, const std::string& text) {
  platform::WriteAll(fd, text.data(), text.size());
}

void SendStatus(int fd, const char* status) {
  SendText(
      fd, std::string("HTTP/1.0 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

bool SafeSegment(const std::string& part) {
  return avlib::ListedNameIsSafe(part);
}

}  // namespace

std::string UpdateServer::MakeList(const std::string& word_folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(word_folder.c_str())) {
    while (dirent* item = readdir(dir)) {
      std::string name = item->d_name;
      if (name[0] != '.' && name != avlib::kListPage) names.push_back(name);
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
      if (!peer.Valid()) continue;
      SetTimeouts(peer.Get());
      if (i == 1) {
        AnswerQuestion(peer.Get());
      } else {
        AnswerHttp(peer.Get());
      }
    }
  }
}

void UpdateServer::AnswerQuestion(int fd) {
  ++questions_;
  const std::string expected = EncodeExchange(avlib::kUpdateQuestion);
  std::string letters;
  char buffer[avlib::kMaxAnswerBytes];
  while (letters.size() < expected.size()) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
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
    SendText(fd, letters_out.substr(0, letters_out.size() / 2));
    usleep(50000);
    SendText(fd, letters_out.substr(letters_out.size() / 2));
  } else {
    SendText(fd, letters_out);
  }
  shutdown(fd, SHUT_WR);
}

void UpdateServer::AnswerHttp(int fd) {
  ++http_requests_;
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    request.append(buffer, static_cast<size_t>(got));
  }
  if (request.compare(0, 4, "GET ") != 0) return SendStatus(fd, "405 Method Not Allowed");
  size_t end = request.find(' ', 4);
  if (end == std::string::npos) return SendStatus(fd, "400 Bad Request");
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
    return SendStatus(fd, "404 Not Found");
  std::string word = decoded.substr(1, slash - 1);
  std::string name = decoded.substr(slash + 1);
  if (!avlib::VersionWordIsSafe(word) || !SafeSegment(name)) return SendStatus(fd, "404 Not Found");
  const std::string word_folder = config_.folder + "/" + word;
  std::string body;
  if (!platform::ReadWholeFile(word_folder + "/" + name, &body, 256u << 20)) {
    if (name != avlib::kListPage) return SendStatus(fd, "404 Not Found");
    struct stat st;
    if (stat(word_folder.c_str(), &st) != 0) return SendStatus(fd, "404 Not Found");
    body = MakeList(word_folder);
  }
  SendText(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
  SendText(fd, body);
}

}  // namespace qxfw::update_server
