// The pending-request list: whole copies of undecided requests, in arrival order, until the
// prompt of their process answers them.
//
// The poll handler appends; the prompt finds the requests of its process and removes each one
// it answers. Nothing else removes a request. A Position stays valid until its own entry is
// removed. Owned by the application and used on the user-interface thread only (no lock).
#pragma once

#include <cstdint>
#include <list>

namespace qxfw::firewall {

template <typename Request>
class CPendingList {
 public:
  using Position = typename std::list<Request>::iterator;

  Position Append(const Request& request) {
    entries_.push_back(request);
    return std::prev(entries_.end());
  }

  // The first entry of processId after `after`, or from the head when after is End().
  Position FindProcess(uint32_t processId, Position after) {
    Position it = after == entries_.end() ? entries_.begin() : std::next(after);
    for (; it != entries_.end(); ++it) {
      if (it->processId == processId) return it;
    }
    return entries_.end();
  }
  Position FindProcess(uint32_t processId) { return FindProcess(processId, End()); }

  // Removes the entry at position; the position of the entry after it is returned.
  Position Remove(Position position) { return entries_.erase(position); }

  Position End() { return entries_.end(); }
  bool Empty() const { return entries_.empty(); }
  size_t Count() const { return entries_.size(); }
  const std::list<Request>& Entries() const { return entries_; }

 private:
  std::list<Request> entries_;
};

}  // namespace qxfw::firewall
