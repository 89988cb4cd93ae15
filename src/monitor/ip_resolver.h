// CIpResolver: the process-wide cache of reverse host-name lookups for IPv4 addresses.
//
// The connection table queues every address it walks; the network view reads names from the
// cache. A background thread, started when the first address is queued, resolves queued
// addresses one at a time in queue order, so no call of the user-interface thread ever waits on
// the network. An address without a reverse name gets its dotted quad as its name and is not
// tried again. The cache only grows.
//
// Threading: every public call may come from any thread; one lock guards the cache. The lookup
// itself runs outside the lock. The destructor stops the thread and waits for it (a lookup in
// progress is finished first).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

namespace qxfw::monitor {

// One cache entry.
struct IP_HOST_ENT {
  uint32_t address = 0;             // IPv4, network byte order
  std::optional<std::string> name;  // none while the address is not yet resolved
};

class CIpResolver {
 public:
  // Reverse lookup of one network-order IPv4 address: the host name, or none when the address
  // has no name. May block for as long as the name service takes.
  using LookupFunction = std::function<std::optional<std::string>(uint32_t address)>;

  // The process-wide resolver, created on first call and destroyed at process exit.
  static CIpResolver& Instance();

  // A resolver that asks the system's name service (getnameinfo with NI_NAMEREQD).
  CIpResolver();
  // A resolver with another lookup (tests simulate slow or failing name services).
  explicit CIpResolver(LookupFunction lookup);
  ~CIpResolver();
  CIpResolver(const CIpResolver&) = delete;
  CIpResolver& operator=(const CIpResolver&) = delete;

  // Queues address for resolution and starts the thread on the first call. Returns false when
  // the address is already in the cache (resolved or not), true when it was appended.
  bool Queue(uint32_t address);

  // The cached name of address; none when it is not cached or not yet resolved.
  std::optional<std::string> Lookup(uint32_t address) const;

  // The cached name of address, or its dotted quad while there is none (the address is then
  // queued). Returns at once.
  std::string NameOf(uint32_t address);

  // Number of cached addresses, resolved or not.
  size_t CacheSize() const;

  // The system lookup used by the default constructor.
  static std::optional<std::string> SystemLookup(uint32_t address);

 private:
  // REQUIRES: mutex_ held.
  bool AppendLocked(uint32_t address);
  void ThreadProc();

  const LookupFunction lookup_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
  std::deque<IP_HOST_ENT> cache_;               // in queue order
  std::unordered_map<uint32_t, size_t> index_;  // address -> position in cache_
  // Entries are resolved in queue order, so every entry before this one has a name.
  size_t nextUnresolved_ = 0;
};

}  // namespace qxfw::monitor
