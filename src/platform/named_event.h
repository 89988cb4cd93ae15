// Events: unnamed ones between threads of a process, and named ones between processes.
//
// An unnamed Event is an eventfd. A named event is a Unix stream socket "<folder>/<name>" that
// its creator binds and listens on. Names of one user (the single-instance object, the
// companion event) live in the user's private folder (event_folder.h); the filter daemon's
// events live in its runtime folder, which only root may write, and only root creates them. So
// no other user can take a name first, and an opener checks who listens (SO_PEERCRED).
//
// The creator holds "<folder>/<name>.lock" (flock) for as long as the event exists: of two
// creators the second learns that the event exists (EEXIST), and a socket left behind by a
// creator that crashed is replaced. A creator that ends removes both files. The event exists
// exactly as long as its creator holds the NamedEventCreator: when it goes (also by a crash) every
// opener's connection ends. An opener connects and gets a descriptor that becomes readable when the
// creator sets the event; every Set is one byte on every opener's connection, so signals count like
// a semaphore (one wake per Set) and are never coalesced. When the creator goes away the opener's
// descriptor reads end-of-file.
//
// The creator serves only openers running as root or as the one user it names (for a user's
// event, that user); others are closed at once. It serves at most maxOpeners at a time and
// turns further ones away (their descriptor reads end-of-file), as it does beyond four openers
// of one process; out of descriptors, it turns waiting openers away with a spare one instead of
// leaving them queued, so a flood neither exhausts it nor makes it spin.
//
// Threading: NamedEventCreator runs one service thread of its own (accepting openers, noticing
// hang-ups and reading their messages); its methods may be called from any thread. Event and
// NamedEventHandle are used by one waiting thread at a time; Event::Set may come from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"

namespace qxfw::platform {

enum class EventScope {
  kUser,    // in the user's private folder; the creator is this user (or root)
  kSystem,  // in a root-owned folder the caller names; the creator must be root
};

enum class WaitResult {
  kSignalled,  // one signal consumed (or, for a manual-reset event, the event is set)
  kTimeout,
  kGone,    // named events only: the creator has gone, the event no longer exists
  kFailed,  // the descriptor is broken; errno tells why
};

// The socket path of a named event: <folder>/<name>. An empty folder means the scope's own:
// UserEventFolder() for kUser; kSystem has none and gives "".
std::string NamedEventAddress(const std::string& name, EventScope scope,
                              const std::string& folder = "");

// Who holds a named event, as the kernel recorded it when the holder started listening.
struct NamedEventHolder {
  pid_t pid = 0;  // 0: not known (the holder is still setting the event up)
  uid_t uid = 0;
};

// Options of a creator.
struct NamedEventOptions {
  std::string folder;      // empty: the scope's own folder (kSystem needs one)
  uid_t openerUser = 0;    // kSystem: the one user besides root whose openers are served
  size_t maxOpeners = 64;  // openers served at a time
};

// A plain text for the errors of Create and Open ("held by another user", ...).
std::string NamedEventErrorText(int error);

// An unnamed event over eventfd.
class Event {
 public:
  enum class Mode {
    kManualReset,  // stays set until Reset; waits do not consume it
    kAutoReset,    // a wait consumes it; several Sets before a wait count once
    kCounting,     // a semaphore: each wait consumes one Set
  };
  Event(Mode mode, bool initiallySet = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const { return fd_.Valid(); }
  // Readable (POLLIN) while the event is set, for use in poll sets.
  int Fd() const { return fd_.Get(); }
  bool Set();
  void Reset();
  // Waits up to timeoutMs (negative: without limit) and consumes as the mode says.
  WaitResult Wait(int timeoutMs);
  // Consumes after a poll reported Fd() readable; false when nothing was there.
  bool Consume();

 private:
  Mode mode_;
  UniqueFd fd_;
};

// The creator's side of a named event.
class NamedEventCreator {
 public:
  // Creates the event. Returns null with *error set: EEXIST when a process of this user or root
  // holds it already (the caller is second), EACCES when a process of another user holds it,
  // EPERM when the folder is not guarded as the scope requires (or a kSystem creator is not
  // root), otherwise the errno of the failing call. *holder, when given, names the holder.
  static std::unique_ptr<NamedEventCreator> Create(const std::string& name, EventScope scope,
                                                   int* error = nullptr,
                                                   const NamedEventOptions& options = {},
                                                   NamedEventHolder* holder = nullptr);
  // Removes the event: every opener sees it gone.
  ~NamedEventCreator();
  NamedEventCreator(const NamedEventCreator&) = delete;
  NamedEventCreator& operator=(const NamedEventCreator&) = delete;

  // Gives every current opener one signal. Openers whose connection completed before the call
  // are included even when the service thread has not accepted them yet. Returns the number of
  // openers given the signal. A signal that does not fit into an opener's socket buffer is
  // owed and sent by the service thread as soon as the opener reads; none is lost.
  size_t Set();
  size_t OpenerCount() const;
  // Openers turned away so far: another user's, beyond maxOpeners, or for want of descriptors.
  uint64_t RefusedCount() const;

  // Messages openers posted (one byte each, in arrival order): MessageFd() is readable while
  // one is waiting; TakeMessage pops the oldest, false when there is none.
  int MessageFd() const { return messages_.Fd(); }
  bool TakeMessage(uint8_t* code);

 private:
  NamedEventCreator(UniqueFd folder, UniqueFd lock, UniqueFd listener, std::string name,
                    uid_t openerUser, size_t maxOpeners);
  struct Opener {
    UniqueFd fd;
    pid_t pid = 0;      // the opener's process, as the kernel recorded it
    uint64_t owed = 0;  // signals not yet written to the connection
  };
  using Clock = std::chrono::steady_clock;
  // Accepts what waits; REQUIRES: mutex_ held.
  void AcceptPendingLocked();
  void NoteRefusalLocked(const char* why, uid_t uid);
  // Writes what is owed to the opener; false when its connection has gone.
  static bool Flush(Opener* opener);
  void Serve();

  UniqueFd folder_;  // the folder open as O_PATH; the socket's name is removed through it
  UniqueFd lock_;    // "<name>.lock", flock held while the event exists
  UniqueFd listener_;
  UniqueFd spare_;  // given up to turn an opener away when descriptors run out
  std::string name_;
  uid_t openerUser_;
  size_t maxOpeners_;
  Clock::time_point acceptPausedUntil_{};
  uint64_t refused_ = 0;
  Clock::time_point lastRefusalLine_{};
  uint64_t refusedSinceLine_ = 0;
  Event stop_{Event::Mode::kManualReset};
  Event wake_{Event::Mode::kAutoReset};  // the opener set changed: rebuild the poll set
  Event messages_{Event::Mode::kCounting};
  mutable std::mutex mutex_;
  std::vector<Opener> openers_;
  std::deque<uint8_t> pending_;
  std::thread thread_;
};

// An opener's handle of a named event.
class NamedEventHandle {
 public:
  // Opens the event in folder (empty: the scope's own). Returns null with *error set: ENOENT
  // when no one holds the event, EACCES when its creator is not who the scope requires (root
  // for kSystem; this user or root for kUser) or the socket refuses this user, otherwise the
  // errno of the failing call.
  static std::unique_ptr<NamedEventHandle> Open(const std::string& name, EventScope scope,
                                                int* error = nullptr,
                                                const std::string& folder = "");
  NamedEventHandle(const NamedEventHandle&) = delete;
  NamedEventHandle& operator=(const NamedEventHandle&) = delete;

  // Readable when a signal is waiting or the creator has gone.
  int Fd() const { return fd_.Get(); }
  // Waits up to timeoutMs (negative: without limit) and consumes one signal.
  WaitResult Wait(int timeoutMs);
  // Consumes every waiting signal; returns how many. Sets *gone when the creator has gone.
  size_t ConsumeAll(bool* gone = nullptr);
  // Posts a one-byte message to the creator; false when the event is gone.
  bool Post(uint8_t code);
  pid_t CreatorPid() const { return creatorPid_; }

 private:
  NamedEventHandle(UniqueFd fd, pid_t creatorPid) : fd_(std::move(fd)), creatorPid_(creatorPid) {}
  UniqueFd fd_;
  pid_t creatorPid_;
};

// True when the named event exists now (and its creator is who the scope requires).
bool NamedEventExists(const std::string& name, EventScope scope, const std::string& folder = "");

// Waits until one of the descriptors is readable, like a wait for any of several events.
// Returns the index of the first readable one, kWaitTimeout, or kWaitFailed (errno set).
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
int WaitForAny(const int* fds, size_t count, int timeoutMs);
// The same without sleeping, until `until` has passed (see spin_wait.h for when that pays).
int SpinForAny(const int* fds, size_t count, std::chrono::steady_clock::time_point until);

}  // namespace qxfw::platform
