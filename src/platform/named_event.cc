#include "platform/named_event.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/event_folder.h"
#include "platform/spin_wait.h"

namespace qxfw::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long accepting pauses when no descriptor is left even to turn an opener away.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// At most one debug line per this period about turned-away openers.
constexpr auto kRefusalLinePeriod = std::chrono::seconds(10);
// Openers one process may hold at a time (a program opens each event once).
constexpr size_t kMaxOpenersPerProcess = 4;

// Fills a socket address for path; returns its length, 0 when the path does not fit.
socklen_t PathAddress(const std::string& path, sockaddr_un* out) {
  std::memset(out, 0, sizeof(*out));
  out->sun_family = AF_UNIX;
  if (path.empty() || path.size() + 1 > sizeof(out->sun_path)) return 0;
  std::memcpy(out->sun_path, path.data(), path.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

// A name is one folder entry; ".lock" must still fit beside it.
bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.size() + 5 <= NAME_MAX;
}

std::string FolderOf(EventScope scope, const std::string& folder) {
  if (!folder.empty() || scope == EventScope::kSystem) return folder;
  return UserEventFolder();
}

// Connects a stream socket to entry `name` of the folder open as folderFd. Returns the
// connection, or an invalid descriptor with errno set.
UniqueFd ConnectInFolder(int folderFd, const std::string& name, bool blocking) {
  sockaddr_un addr;
  socklen_t length = PathAddress(PathInFolder(folderFd, name), &addr);
  if (length == 0) {
    errno = ENAMETOOLONG;
    return UniqueFd();
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0));
  if (!fd.Valid()) return fd;
  int rc;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return UniqueFd();
  return fd;
}

// Creates (when missing) and locks entry `name` of the folder open as folderFd. The holder
// removes the file before it lets go, so a lock taken on a file that has meanwhile been removed
// is let go and taken again on the file now there. Returns the locked file, or an invalid
// descriptor with errno set; *busy tells that another process holds the lock.
UniqueFd LockEntry(int folderFd, const std::string& name, bool* busy) {
  *busy = false;
  for (int attempt = 0; attempt < 16; ++attempt) {
    UniqueFd fd(::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) return fd;
    int rc;
    do {
      rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      *busy = errno == EWOULDBLOCK;
      return UniqueFd();
    }
    struct stat locked, there;
    if (::fstat(fd.Get(), &locked) != 0) return UniqueFd();
    if (::fstatat(folderFd, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        there.st_dev == locked.st_dev && there.st_ino == locked.st_ino) {
      return fd;
    }
  }
  errno = EAGAIN;
  return UniqueFd();
}

bool PeerOf(int fd, ucred* cred) {
  socklen_t length = sizeof(*cred);
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &length) == 0;
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

std::string NamedEventAddress(const std::string& name, EventScope scope,
                              const std::string& folder) {
  std::string place = FolderOf(scope, folder);
  return place.empty() ? std::string() : place + "/" + name;
}

std::string NamedEventErrorText(int error) {
  switch (error) {
    case EEXIST:
      return "already held by a running process";
    case EACCES:
      return "held by another user";
    case EPERM:
      return "its folder is not guarded (wrong owner or mode), or the creator is not root";
    case ENOENT:
      return "no one holds it";
    default:
      return std::strerror(error);
  }
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
                                                             EventScope scope, int* error,
                                                             const NamedEventOptions& options,
                                                             NamedEventHolder* holder) {
  if (holder != nullptr) *holder = NamedEventHolder{};
  if (!ValidName(name)) {
    SetError(error, name.size() + 5 > NAME_MAX ? ENAMETOOLONG : EINVAL);
    return nullptr;
  }
  std::string folderPath = FolderOf(scope, options.folder);
  if (folderPath.empty()) {
    SetError(error, scope == EventScope::kSystem ? EINVAL : (errno != 0 ? errno : ENOENT));
    return nullptr;
  }
  if (scope == EventScope::kSystem && ::geteuid() != 0) {
    SetError(error, EPERM);
    return nullptr;
  }
  UniqueFd folder = OpenGuardedFolder(
      folderPath, scope == EventScope::kSystem ? FolderGuard::kRootOwned : FolderGuard::kPrivate);
  if (!folder.Valid()) {
    SetError(error, errno);
    return nullptr;
  }
  sockaddr_un addr;
  socklen_t length = PathAddress(PathInFolder(folder.Get(), name), &addr);
  if (length == 0) {
    SetError(error, ENAMETOOLONG);
    return nullptr;
  }
  bool busy = false;
  UniqueFd lock = LockEntry(folder.Get(), name + ".lock", &busy);
  if (!lock.Valid()) {
    if (!busy) {
      SetError(error, errno);
      return nullptr;
    }
    // Someone holds it: say who, when its socket already listens.
    int result = EEXIST;
    UniqueFd probe = ConnectInFolder(folder.Get(), name, false);
    ucred cred{};
    if (probe.Valid() && PeerOf(probe.Get(), &cred)) {
      if (holder != nullptr) *holder = NamedEventHolder{cred.pid, cred.uid};
      if (cred.uid != ::geteuid() && cred.uid != 0) result = EACCES;
    }
    SetError(error, result);
    return nullptr;
  }
  // The lock is ours: a socket still there was left by a creator that has gone.
  if (::unlinkat(folder.Get(), name.c_str(), 0) != 0 && errno != ENOENT) {
    SetError(error, errno);
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
  // Connecting needs write access to the socket: only its owner (the opener user of a system
  // event, this user for a user's event) and root have it. Openers are checked again when
  // accepted, so a mode changed later lets no one else in.
  uid_t openerUser = scope == EventScope::kSystem ? options.openerUser : ::geteuid();
  if (::fchmodat(folder.Get(), name.c_str(), 0600, 0) != 0 ||
      (scope == EventScope::kSystem &&
       ::fchownat(folder.Get(), name.c_str(), openerUser, 0, AT_SYMLINK_NOFOLLOW) != 0) ||
      ::listen(fd.Get(), 128) != 0) {
    SetError(error, errno);
    ::unlinkat(folder.Get(), name.c_str(), 0);
    return nullptr;
  }
  auto creator = std::unique_ptr<NamedEventCreator>(
      new NamedEventCreator(std::move(folder), std::move(lock), std::move(fd), name, openerUser,
                            options.maxOpeners > 0 ? options.maxOpeners : 1));
  if (!creator->spare_.Valid() || !creator->stop_.Valid() || !creator->wake_.Valid() ||
      !creator->messages_.Valid()) {
    SetError(error, EMFILE);
    return nullptr;
  }
  creator->thread_ = std::thread(&NamedEventCreator::Serve, creator.get());
  SetError(error, 0);
  return creator;
}

NamedEventCreator::NamedEventCreator(UniqueFd folder, UniqueFd lock, UniqueFd listener,
                                     std::string name, uid_t openerUser, size_t maxOpeners)
    : folder_(std::move(folder)),
      lock_(std::move(lock)),
      listener_(std::move(listener)),
      spare_(::open("/dev/null", O_RDONLY | O_CLOEXEC)),
      name_(std::move(name)),
      openerUser_(openerUser),
      maxOpeners_(maxOpeners) {}

NamedEventCreator::~NamedEventCreator() {
  stop_.Set();
  if (thread_.joinable()) thread_.join();
  // Gone for new openers first; the lock file is removed while still held (see LockEntry).
  if (folder_.Valid() && listener_.Valid()) ::unlinkat(folder_.Get(), name_.c_str(), 0);
  if (folder_.Valid() && lock_.Valid()) ::unlinkat(folder_.Get(), (name_ + ".lock").c_str(), 0);
}

void NamedEventCreator::NoteRefusalLocked(const char* why, uid_t uid) {
  ++refused_;
  ++refusedSinceLine_;
  Clock::time_point now = Clock::now();
  if (now - lastRefusalLine_ < kRefusalLinePeriod) return;
  // syslog itself, not the debug lines: a daemon's own log settings stay in force.
  syslog(LOG_WARNING,
         "event %s: opener of uid %u turned away (%s); %llu turned away since the last line",
         name_.c_str(), static_cast<unsigned>(uid), why,
         static_cast<unsigned long long>(refusedSinceLine_));
  lastRefusalLine_ = now;
  refusedSinceLine_ = 0;
}

void NamedEventCreator::AcceptPendingLocked() {
  if (Clock::now() < acceptPausedUntil_) return;
  // A failing accept still makes and frees a socket; asking first is far cheaper, and Set
  // comes here for every signal.
  pollfd waiting{listener_.Get(), POLLIN, 0};
  if (::poll(&waiting, 1, 0) != 1) return;
  for (;;) {
    UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.Valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EMFILE && errno != ENFILE) return;  // EAGAIN: nothing more waiting
      // Out of descriptors: an opener left waiting keeps the listener readable, and a poll on
      // it would spin. Turn it away with the spare descriptor.
      if (spare_.Valid()) {
        spare_.Reset();
        UniqueFd turned(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        bool any = turned.Valid();
        turned.Reset();
        spare_.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (any) {
          NoteRefusalLocked("out of descriptors", static_cast<uid_t>(-1));
          continue;
        }
      }
      acceptPausedUntil_ = Clock::now() + kAcceptPause;
      return;
    }
    ucred cred{};
    if (!PeerOf(fd.Get(), &cred)) {
      NoteRefusalLocked("no credentials", static_cast<uid_t>(-1));
      continue;
    }
    if (cred.uid != 0 && cred.uid != openerUser_) {
      NoteRefusalLocked("another user", cred.uid);
      continue;
    }
    if (openers_.size() >= maxOpeners_) {
      NoteRefusalLocked("too many openers", cred.uid);
      continue;
    }
    // One process cannot take every place: a flood from one leaves room for the others.
    size_t sameProcess = 0;
    for (const Opener& opener : openers_) sameProcess += opener.pid == cred.pid ? 1 : 0;
    if (sameProcess >= kMaxOpenersPerProcess) {
      NoteRefusalLocked("too many openers in one process", cred.uid);
      continue;
    }
    openers_.push_back(Opener{std::move(fd), cred.pid, 0});
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

uint64_t NamedEventCreator::RefusedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refused_;
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
    int timeoutMs = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // While accepting pauses the listener is left out, so its readiness cannot spin the loop.
      int listener = listener_.Get();
      Clock::time_point now = Clock::now();
      if (now < acceptPausedUntil_) {
        listener = -1;
        timeoutMs = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(acceptPausedUntil_ - now).count());
      }
      polls.assign({{stop_.Fd(), POLLIN, 0}, {wake_.Fd(), POLLIN, 0}, {listener, POLLIN, 0}});
      watched.clear();
      for (const Opener& opener : openers_) {
        short events = POLLIN | (opener.owed > 0 ? POLLOUT : 0);
        polls.push_back({opener.fd.Get(), events, 0});
        watched.push_back(opener.fd.Get());
      }
    }
    int n = ::poll(polls.data(), polls.size(), timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      syslog(LOG_ERR, "event %s: poll failed: %s", name_.c_str(), std::strerror(errno));
      return;
    }
    if (polls[0].revents != 0) return;
    if (polls[1].revents != 0) wake_.Consume();
    std::lock_guard<std::mutex> lock(mutex_);
    if (polls[2].revents != 0 || timeoutMs >= 0) AcceptPendingLocked();
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
                                                         int* error, const std::string& folder) {
  if (!ValidName(name)) {
    SetError(error, name.size() + 5 > NAME_MAX ? ENAMETOOLONG : EINVAL);
    return nullptr;
  }
  std::string folderPath = FolderOf(scope, folder);
  if (folderPath.empty()) {
    SetError(error, scope == EventScope::kSystem ? EINVAL : (errno != 0 ? errno : ENOENT));
    return nullptr;
  }
  UniqueFd place(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!place.Valid()) {
    SetError(error, errno == ENOTDIR ? ENOENT : errno);
    return nullptr;
  }
  UniqueFd fd = ConnectInFolder(place.Get(), name, true);
  if (!fd.Valid()) {
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

bool NamedEventExists(const std::string& name, EventScope scope, const std::string& folder) {
  return NamedEventHandle::Open(name, scope, nullptr, folder) != nullptr;
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
