#include "shell/instance_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/event_folder.h"

namespace qxfw::shell {
namespace {

// Splits path into its folder and last entry and opens the folder; the socket address then
// names the entry through the folder's descriptor, so a long folder path still fits.
bool LinkAddress(const std::string& path, platform::UniqueFd* folder, std::string* entry,
                 sockaddr_un* addr, socklen_t* length, bool privateFolder) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return false;
  std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  *entry = path.substr(slash + 1);
  *folder = privateFolder
                ? platform::OpenGuardedFolder(dir, platform::FolderGuard::kPrivate)
                : platform::UniqueFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder->Valid()) return false;
  std::string inFolder = platform::PathInFolder(folder->Get(), *entry);
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (inFolder.size() + 1 > sizeof(addr->sun_path)) return false;
  std::memcpy(addr->sun_path, inFolder.data(), inFolder.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + inFolder.size() + 1);
  return true;
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
  std::string folder = platform::UserEventFolder();
  return folder.empty() ? std::string() : folder + "/QXFW.exe Link";
}

CInstanceLinkServer::CInstanceLinkServer(const std::string& name) {
  sockaddr_un addr;
  socklen_t len = 0;
  platform::UniqueFd folder;
  std::string entry;
  if (!LinkAddress(name, &folder, &entry, &addr, &len, true)) {
    platform::DebugOutput("[QXFW.exe] CFireWallApp link: %s is not in a private folder",
                          name.c_str());
    return;
  }
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) return;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    if (errno != EADDRINUSE) return;
    // Held by a live program, or left by one that ended.
    platform::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.Valid() || ::connect(probe.Get(), reinterpret_cast<sockaddr*>(&addr), len) == 0 ||
        errno != ECONNREFUSED) {
      return;
    }
    if (::unlinkat(folder.Get(), entry.c_str(), 0) != 0 ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      return;
    }
  }
  if (::fchmodat(folder.Get(), entry.c_str(), 0600, 0) != 0 || ::listen(fd.Get(), 16) != 0) {
    ::unlinkat(folder.Get(), entry.c_str(), 0);
    return;
  }
  folder_ = std::move(folder);
  entry_ = std::move(entry);
  fd_ = std::move(fd);
}

CInstanceLinkServer::~CInstanceLinkServer() {
  if (fd_.Valid()) ::unlinkat(folder_.Get(), entry_.c_str(), 0);
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
  socklen_t len = 0;
  platform::UniqueFd folder;
  std::string entry;
  platform::UniqueFd fd;
  for (;;) {
    if (LinkAddress(name, &folder, &entry, &addr, &len, false)) {
      fd = platform::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!fd.Valid()) return std::nullopt;
      if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) == 0) break;
    }
    if (NowMs() >= deadline) return std::nullopt;
    ::usleep(50 * 1000);
  }
  // The options and commands go to this user's own program only.
  ucred cred{};
  socklen_t credLen = sizeof(cred);
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &credLen) != 0 ||
      cred.uid != ::getuid()) {
    platform::DebugOutput("[QXFW.exe] the instance link %s is held by user %u, not by this user",
                          name.c_str(), static_cast<unsigned>(cred.uid));
    return std::nullopt;
  }
  if (!WriteMessage(fd.Get(), request)) return std::nullopt;
  LinkMessage answer;
  if (!ReadMessage(fd.Get(), kMaxLinkAnswer, answerWaitMs, &answer)) return std::nullopt;
  return answer;
}

}  // namespace qxfw::shell
