#include "shell/instance_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/debug_output.h"

namespace qxfw::shell {
namespace {

socklen_t AbstractAddress(const std::string& name, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  size_t n = name.size() < sizeof(addr->sun_path) - 1 ? name.size() : sizeof(addr->sun_path) - 1;
  std::memcpy(addr->sun_path + 1, name.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads exactly size bytes before the deadline; false on end, error or time-out.
bool ReadFull(int fd, void* data, size_t size, int64_t deadline) {
  auto* p = static_cast<unsigned char*>(data);
  while (size > 0) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadMessage(int fd, uint32_t limit, int timeoutMs, LinkMessage* out) {
  int64_t deadline = NowMs() + timeoutMs;
  unsigned char header[4];
  if (!ReadFull(fd, header, 4, deadline)) return false;
  uint32_t length =
      header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
  if (length < 1 || length > limit) return false;
  std::string body(length, '\0');
  if (!ReadFull(fd, body.data(), length, deadline)) return false;
  out->kind = body[0];
  out->text = body.substr(1);
  return true;
}

bool WriteMessage(int fd, const LinkMessage& message) {
  uint32_t length = static_cast<uint32_t>(message.text.size() + 1);
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  data += message.kind;
  data += message.text;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd pfd{fd, POLLOUT, 0};
      if (::poll(&pfd, 1, 1000) <= 0) return false;
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string LinkName() {
  return "qxfw/" + std::to_string(::getuid()) + "/QXFW.exe Link";
}

CInstanceLinkServer::CInstanceLinkServer(const std::string& name) {
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) return;
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, &addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return;
  if (::listen(fd.Get(), 16) != 0) return;
  fd_ = std::move(fd);
}

std::optional<CInstanceLinkServer::Pending> CInstanceLinkServer::Accept(int timeoutMs) {
  platform::UniqueFd conn(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!conn.Valid()) return std::nullopt;
  ucred cred{};
  socklen_t credLen = sizeof(cred);
  if (::getsockopt(conn.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &credLen) != 0 ||
      cred.uid != ::getuid()) {
    platform::DebugOutput("[QXFW.exe] CFireWallApp link: refused a caller of user %u",
                          static_cast<unsigned>(cred.uid));
    return std::nullopt;
  }
  Pending pending;
  if (!ReadMessage(conn.Get(), kMaxLinkRequest, timeoutMs, &pending.request)) {
    platform::DebugOutput("[QXFW.exe] CFireWallApp link: malformed request");
    return std::nullopt;
  }
  pending.connection = std::move(conn);
  return pending;
}

bool CInstanceLinkServer::Answer(Pending& pending, char status, const std::string& text) {
  std::string body = text.size() > kMaxLinkAnswer - 1 ? text.substr(0, kMaxLinkAnswer - 1) : text;
  return WriteMessage(pending.connection.Get(), LinkMessage{status, body});
}

std::optional<LinkMessage> SendToRunningInstance(const LinkMessage& request, int connectWaitMs,
                                                 int answerWaitMs, const std::string& name) {
  if (request.text.size() + 1 > kMaxLinkRequest) return std::nullopt;
  int64_t deadline = NowMs() + connectWaitMs;
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, &addr);
  platform::UniqueFd fd;
  for (;;) {
    fd = platform::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return std::nullopt;
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) == 0) break;
    if (NowMs() >= deadline) return std::nullopt;
    ::usleep(50 * 1000);
  }
  if (!WriteMessage(fd.Get(), request)) return std::nullopt;
  LinkMessage answer;
  if (!ReadMessage(fd.Get(), kMaxLinkAnswer, answerWaitMs, &answer)) return std::nullopt;
  return answer;
}

}  // namespace qxfw::shell
