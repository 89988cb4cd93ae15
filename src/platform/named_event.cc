#include "platform/named_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/spin_wait.h"

namespace qxfw::platform {
namespace {

// Fills an abstract socket address; returns its length, 0 when the name does not fit.
socklen_t AbstractAddress(const std::string& address, sockaddr_un* out) {
  std::memset(out, 0, sizeof(*out));
  out->sun_family = AF_UNIX;
  if (address.size() + 1 > sizeof(out->sun_path)) return 0;
  std::memcpy(out->sun_path + 1, address.data(), address.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
}

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

// poll, going on after interruptions with the time that is left (negative: without limit).
int PollRetrying(pollfd* polls, nfds_t count, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int n = ::poll(polls, count, timeoutMs);
    if (n >= 0 || errno != EINTR) return n;
    if (timeoutMs > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

int PollOne(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return PollRetrying(&p, 1, timeoutMs);
}

}  // namespace

std::string NamedEventAddress(const std::string& name, EventScope scope) {
  if (scope == EventScope::kSystem) return "qxfw/" + name;
  return "qxfw/" + std::to_string(::getuid()) + "/" + name;
}

// --- Event ---

Event::Event(Mode mode, bool initiallySet)
    : mode_(mode),
      fd_(::eventfd(initiallySet ? 1 : 0,
                    EFD_CLOEXEC | EFD_NONBLOCK | (mode == Mode::kCounting ? EFD_SEMAPHORE : 0))) {}

bool Event::Set() {
  uint64_t one = 1;
  return ::write(fd_.Get(), &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one));
}

void Event::Reset() {
  uint64_t value;
  if (mode_ == Mode::kCounting) {
    while (::read(fd_.Get(), &value, sizeof(value)) > 0) {
    }
  } else {
    (void)!::read(fd_.Get(), &value, sizeof(value));
  }
}

bool Event::Consume() {
  if (mode_ == Mode::kManualReset) {
    pollfd p{fd_.Get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  uint64_t value;
  return ::read(fd_.Get(), &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value));
}

WaitResult Event::Wait(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int n = PollOne(fd_.Get(), timeoutMs);
    if (n < 0) return WaitResult::kFailed;
    if (n == 0) return WaitResult::kTimeout;
    if (Consume()) return WaitResult::kSignalled;
    // Another waiter took it first: wait for the rest of the time.
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return WaitResult::kTimeout;
      timeoutMs = static_cast<int>(left.count());
    }
  }
}

// --- NamedEventCreator ---

std::unique_ptr<NamedEventCreator> NamedEventCreator::Create(const std::string& name,
                                                             EventScope scope, int* error) {
  std::string address = NamedEventAddress(name, scope);
  sockaddr_un addr;
  socklen_t length = AbstractAddress(address, &addr);
  if (length == 0) {
    SetError(error, ENAMETOOLONG);
    return nullptr;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) {
    SetError(error, errno);
    return nullptr;
  }
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    SetError(error, errno == EADDRINUSE ? EEXIST : errno);
    return nullptr;
  }
  if (::listen(fd.Get(), SOMAXCONN) != 0) {
    SetError(error, errno);
    return nullptr;
  }
  auto creator =
      std::unique_ptr<NamedEventCreator>(new NamedEventCreator(std::move(fd), std::move(address)));
  if (!creator->stop_.Valid() || !creator->wake_.Valid() || !creator->messages_.Valid()) {
    SetError(error, EMFILE);
    return nullptr;
  }
  creator->thread_ = std::thread(&NamedEventCreator::Serve, creator.get());
  SetError(error, 0);
  return creator;
}

NamedEventCreator::NamedEventCreator(UniqueFd listener, std::string address)
    : listener_(std::move(listener)), address_(std::move(address)) {}

NamedEventCreator::~NamedEventCreator() {
  stop_.Set();
  if (thread_.joinable()) thread_.join();
}

void NamedEventCreator::AcceptPendingLocked() {
  // A failing accept still makes and frees a socket; asking first is far cheaper, and Set
  // comes here for every signal.
  pollfd waiting{listener_.Get(), POLLIN, 0};
  if (::poll(&waiting, 1, 0) != 1) return;
  for (;;) {
    int fd = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN: nothing more waiting; other errors: try again on the next event
    }
    openers_.push_back(Opener{UniqueFd(fd), 0});
  }
}

bool NamedEventCreator::Flush(Opener* opener) {
  // Each byte is one signal. Owed signals go out many to a write, so a slow reader costs one
  // socket buffer however many signals it has missed.
  static const std::vector<uint8_t> kOnes(4096, 1);
  while (opener->owed > 0) {
    size_t chunk = opener->owed < kOnes.size() ? static_cast<size_t>(opener->owed) : kOnes.size();
    ssize_t n = ::send(opener->fd.Get(), kOnes.data(), chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      opener->owed -= static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
  return true;
}

size_t NamedEventCreator::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t before = openers_.size();
  AcceptPendingLocked();
  bool changed = openers_.size() != before;
  size_t reached = 0;
  for (auto it = openers_.begin(); it != openers_.end();) {
    ++it->owed;
    if (!Flush(&*it)) {
      it = openers_.erase(it);  // the opener has gone
      changed = true;
      continue;
    }
    if (it->owed > 0) changed = true;  // the service thread must wait for room
    ++reached;
    ++it;
  }
  if (changed) wake_.Set();
  return reached;
}

size_t NamedEventCreator::OpenerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openers_.size();
}

bool NamedEventCreator::TakeMessage(uint8_t* code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.empty()) return false;
  messages_.Consume();
  *code = pending_.front();
  pending_.pop_front();
  return true;
}

void NamedEventCreator::Serve() {
  // Messages waiting in the creator beyond this are dropped: an opener cannot make the
  // creator's memory grow without limit.
  constexpr size_t kMaxPendingMessages = 4096;
  std::vector<pollfd> polls;
  std::vector<int> watched;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      polls.assign(
          {{stop_.Fd(), POLLIN, 0}, {wake_.Fd(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}});
      watched.clear();
      for (const Opener& opener : openers_) {
        short events = POLLIN | (opener.owed > 0 ? POLLOUT : 0);
        polls.push_back({opener.fd.Get(), events, 0});
        watched.push_back(opener.fd.Get());
      }
    }
    int n = ::poll(polls.data(), polls.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      DebugOutput("[QXFW]NamedEvent %s: poll failed: %s", address_.c_str(), std::strerror(errno));
      return;
    }
    if (polls[0].revents != 0) return;
    if (polls[1].revents != 0) wake_.Consume();
    std::lock_guard<std::mutex> lock(mutex_);
    if (polls[2].revents != 0) AcceptPendingLocked();
    for (size_t i = 0; i < watched.size(); ++i) {
      short revents = polls[i + 3].revents;
      if (revents == 0) continue;
      int fd = watched[i];
      auto opener = openers_.begin();
      while (opener != openers_.end() && opener->fd.Get() != fd) ++opener;
      if (opener == openers_.end()) continue;  // Set dropped it meanwhile
      if ((revents & POLLOUT) != 0 && !Flush(&*opener)) {
        openers_.erase(opener);
        continue;
      }
      if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      uint8_t buffer[256];
      ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (got > 0) {
        for (ssize_t k = 0; k < got && pending_.size() < kMaxPendingMessages; ++k) {
          pending_.push_back(buffer[k]);
          messages_.Set();
        }
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      openers_.erase(opener);
    }
  }
}

// --- NamedEventHandle ---

std::unique_ptr<NamedEventHandle> NamedEventHandle::Open(const std::string& name, EventScope scope,
                                                         int* error) {
  sockaddr_un addr;
  socklen_t length = AbstractAddress(NamedEventAddress(name, scope), &addr);
  if (length == 0) {
    SetError(error, ENAMETOOLONG);
    return nullptr;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    SetError(error, errno);
    return nullptr;
  }
  int rc;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    SetError(error, errno == ECONNREFUSED ? ENOENT : errno);
    return nullptr;
  }
  // The credentials the kernel recorded when the creator started listening.
  ucred cred{};
  socklen_t credLength = sizeof(cred);
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &credLength) != 0) {
    SetError(error, errno);
    return nullptr;
  }
  bool trusted = cred.uid == 0 || (scope == EventScope::kUser && cred.uid == ::getuid());
  if (!trusted) {
    DebugOutput("[QXFW]NamedEvent %s: refused, created by uid %u", name.c_str(), cred.uid);
    SetError(error, EACCES);
    return nullptr;
  }
  SetError(error, 0);
  return std::unique_ptr<NamedEventHandle>(new NamedEventHandle(std::move(fd), cred.pid));
}

WaitResult NamedEventHandle::Wait(int timeoutMs) {
  int n = PollOne(fd_.Get(), timeoutMs);
  if (n < 0) return WaitResult::kFailed;
  if (n == 0) return WaitResult::kTimeout;
  uint8_t signal;
  ssize_t got;
  do {
    got = ::recv(fd_.Get(), &signal, 1, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got == 1) return WaitResult::kSignalled;
  if (got == 0) return WaitResult::kGone;
  if (errno == EAGAIN) return WaitResult::kTimeout;
  return errno == ECONNRESET ? WaitResult::kGone : WaitResult::kFailed;
}

size_t NamedEventHandle::ConsumeAll(bool* gone) {
  if (gone != nullptr) *gone = false;
  size_t total = 0;
  uint8_t buffer[512];
  for (;;) {
    ssize_t got = ::recv(fd_.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got > 0) {
      total += static_cast<size_t>(got);
      // A short read took everything there was; one more read would only say so.
      if (static_cast<size_t>(got) < sizeof(buffer)) return total;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (gone != nullptr && (got == 0 || errno == ECONNRESET)) *gone = true;
    return total;
  }
}

bool NamedEventHandle::Post(uint8_t code) {
  return ::send(fd_.Get(), &code, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
}

bool NamedEventExists(const std::string& name, EventScope scope) {
  return NamedEventHandle::Open(name, scope) != nullptr;
}

namespace {

// The index of the first ready descriptor after a poll that returned n.
int FirstReady(const std::vector<pollfd>& polls, int n) {
  if (n < 0) return kWaitFailed;
  for (size_t i = 0; i < polls.size(); ++i) {
    if (polls[i].revents != 0) return static_cast<int>(i);
  }
  return kWaitTimeout;
}

std::vector<pollfd> ReadPolls(const int* fds, size_t count) {
  std::vector<pollfd> polls(count);
  for (size_t i = 0; i < count; ++i) polls[i] = {fds[i], POLLIN, 0};
  return polls;
}

}  // namespace

int WaitForAny(const int* fds, size_t count, int timeoutMs) {
  std::vector<pollfd> polls = ReadPolls(fds, count);
  return FirstReady(polls, PollRetrying(polls.data(), polls.size(), timeoutMs));
}

int SpinForAny(const int* fds, size_t count, std::chrono::steady_clock::time_point until) {
  std::vector<pollfd> polls = ReadPolls(fds, count);
  return FirstReady(polls, SpinPoll(polls.data(), polls.size(), until));
}

}  // namespace qxfw::platform
