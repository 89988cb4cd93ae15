#include "monitor/ip_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "platform/address_text.h"
#include "platform/debug_output.h"

namespace qxfw::monitor {
namespace {

// Pauses of the resolver thread: while nothing waits, and between two lookups so that a long
// queue does not hammer the name service.
constexpr std::chrono::milliseconds kIdleWait(1000);
constexpr std::chrono::milliseconds kPauseAfterLookup(100);

}  // namespace

CIpResolver& CIpResolver::Instance() {
  static CIpResolver instance;
  return instance;
}

CIpResolver::CIpResolver() : CIpResolver(&CIpResolver::SystemLookup) {}

CIpResolver::CIpResolver(LookupFunction lookup) : lookup_(std::move(lookup)) {}

CIpResolver::~CIpResolver() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::optional<std::string> CIpResolver::SystemLookup(uint32_t address) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = address;
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), sizeof(socketAddress), host,
                  sizeof(host), nullptr, 0, NI_NAMEREQD) != 0) {
    return std::nullopt;
  }
  return std::string(host);
}

bool CIpResolver::AppendLocked(uint32_t address) {
  if (!thread_.joinable() && !stop_) thread_ = std::thread(&CIpResolver::ThreadProc, this);
  if (index_.count(address) != 0) return false;
  index_.emplace(address, cache_.size());
  cache_.push_back(IP_HOST_ENT{address, std::nullopt});
  return true;
}

bool CIpResolver::Queue(uint32_t address) {
  bool appended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    appended = AppendLocked(address);
  }
  if (appended) wake_.notify_all();
  return appended;
}

std::optional<std::string> CIpResolver::Lookup(uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = index_.find(address);
  if (found == index_.end()) return std::nullopt;
  return cache_[found->second].name;
}

std::string CIpResolver::NameOf(uint32_t address) {
  bool appended = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(address);
    if (found != index_.end()) {
      if (cache_[found->second].name) return *cache_[found->second].name;
    } else {
      appended = AppendLocked(address);
    }
  }
  if (appended) wake_.notify_all();
  char dotted[16];
  platform::NetworkAddressText(address, dotted, sizeof(dotted));
  return dotted;
}

size_t CIpResolver::CacheSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cache_.size();
}

void CIpResolver::ThreadProc() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (nextUnresolved_ >= cache_.size()) {
      wake_.wait_for(lock, kIdleWait, [this] { return stop_ || nextUnresolved_ < cache_.size(); });
      continue;
    }
    size_t position = nextUnresolved_;
    uint32_t address = cache_[position].address;
    lock.unlock();
    std::optional<std::string> name = lookup_(address);
    if (!name) {
      char dotted[16];
      platform::NetworkAddressText(address, dotted, sizeof(dotted));
      name = dotted;
    }
    lock.lock();
    cache_[position].name = std::move(name);
    nextUnresolved_ = position + 1;
    wake_.wait_for(lock, kPauseAfterLookup, [this] { return stop_; });
  }
  lock.unlock();
  platform::DebugOutput("[QXFW.exe]IpResolverThreadProc - Stop");
}

}  // namespace qxfw::monitor
