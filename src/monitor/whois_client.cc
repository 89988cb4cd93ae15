#include "monitor/whois_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/file.h"

namespace qxfw::monitor {
namespace {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr size_t kPieceSize = 100;
constexpr size_t kReceiveBufferSize = 128;

// Waits for events on fd for at most timeoutMs, ending early when cancelFd becomes readable.
// Returns the events seen, 0 on time-out or cancel, -1 on error.
int WaitFor(int fd, short events, int timeoutMs, int cancelFd) {
  pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
  nfds_t count = cancelFd >= 0 ? 2 : 1;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int n = ::poll(fds, count, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    if (count == 2 && fds[1].revents != 0) return 0;
    return fds[0].revents;
  }
}

int MsLeft(Clock::time_point deadline, int limit) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, limit));
}

UniqueFd Connect(const std::string& address, uint16_t port, int timeoutMs, int cancelFd) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return UniqueFd();
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) return UniqueFd();
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) return fd;
  if (errno != EINPROGRESS) return UniqueFd();
  if (WaitFor(fd.Get(), POLLOUT, timeoutMs, cancelFd) <= 0) return UniqueFd();
  int error = 0;
  socklen_t size = sizeof(error);
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace

CWhoisClient::CWhoisClient(const std::string& server, uint16_t port, WhoisTimeouts timeouts)
    : port_(port), timeouts_(timeouts) {
  SetServer(server);
}

void CWhoisClient::SetServer(const std::string& hostName) {
  serverName_ = hostName;
  serverAddress_.clear();
  if (hostName.empty()) return;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address->sin_addr);
  serverAddress_ = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                   std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

std::string CWhoisClient::Query(const std::string& text, int cancelFd) const {
  std::string answer;
  if (serverAddress_.empty()) return answer;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.totalMs);

  // One query line: anything after a line break would be a second query to the server.
  std::string line =
      text.substr(0, std::min(text.find_first_of(std::string("\r\n\0", 3)), kMaxQueryText));
  line += " \r\n";

  UniqueFd socket = Connect(serverAddress_, port_, MsLeft(deadline, timeouts_.connectMs), cancelFd);
  if (!socket.Valid()) return answer;

  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = ::send(socket.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        WaitFor(socket.Get(), POLLOUT, MsLeft(deadline, timeouts_.receiveMs), cancelFd) > 0) {
      continue;
    }
    break;
  }
  if (sent == 0) return answer;

  const size_t limit = kAnswerBufferSize - 1;
  char buffer[kReceiveBufferSize];
  while (answer.size() < limit) {
    int events = WaitFor(socket.Get(), POLLIN, MsLeft(deadline, timeouts_.receiveMs), cancelFd);
    if (events <= 0) break;
    std::memset(buffer, 0, sizeof(buffer));
    ssize_t n = ::recv(socket.Get(), buffer, std::min(kPieceSize, limit - answer.size()), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\0') answer.push_back(buffer[i]);
    }
  }
  return answer;
}

std::string WhoisDisplayText(const std::string& answer) {
  const size_t limit = CWhoisClient::kAnswerBufferSize - 1;
  std::string display;
  display.reserve(std::min(answer.size() * 2, limit));
  for (size_t i = 0; i < answer.size(); ++i) {
    char c = answer[i];
    bool lone = c == '\n' && (i == 0 || answer[i - 1] != '\r');
    size_t need = lone ? 2 : 1;
    if (display.size() + need > limit) break;
    if (lone) display.push_back('\r');
    display.push_back(c);
  }
  return display;
}

struct CWhoisLookup::State {
  std::mutex mutex;
  bool cancelled = false;
  Done done;
  UniqueFd cancelFd;
};

CWhoisLookup::CWhoisLookup(std::string address, Done done, std::string server, uint16_t port,
                           WhoisTimeouts timeouts)
    : state_(std::make_shared<State>()) {
  state_->done = std::move(done);
  state_->cancelFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::thread([state = state_, address = std::move(address), server = std::move(server), port,
               timeouts] {
    CWhoisClient client(server, port, timeouts);
    std::string answer = client.Query(address, state->cancelFd.Get());
    std::string display = WhoisDisplayText(answer);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->cancelled && state->done) state->done(display);
    state->done = nullptr;
  }).detach();
}

CWhoisLookup::~CWhoisLookup() {
  Cancel();
}

void CWhoisLookup::Cancel() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->cancelled = true;
  state_->done = nullptr;
  if (state_->cancelFd.Valid()) {
    uint64_t one = 1;
    ssize_t ignored = ::write(state_->cancelFd.Get(), &one, sizeof(one));
    (void)ignored;
  }
}

}  // namespace qxfw::monitor
