// MFNetTraffic: byte counters of the network interfaces for the traffic graph.
//
// The interface list (names in /proc/net/dev order and their link speed from
// /sys/class/net/<if>/speed) is read once at construction; Sample() re-reads /proc/net/dev and
// returns how many bytes the chosen counter grew since the previous sample of the same
// interface. The traffic graph samples it on its timer. Not thread-safe: one thread (the
// user-interface thread) owns an object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxfw::monitor {

class MFNetTraffic {
 public:
  // Counter types of SetCounterType(); any other value selects the total.
  static constexpr int kReceivedBytes = 1;
  static constexpr int kSentBytes = 2;
  static constexpr int kTotalBytes = 0;

  // Longest interface name kept, in bytes.
  static constexpr size_t kMaxNameLength = 255;
  static constexpr double kReadFailed = -1;

  // Reads /proc/net/dev and /sys/class/net, or the file and folder named by $QXFW_PROC_NET_DEV
  // and $QXFW_SYSFS_NET when they are set.
  MFNetTraffic();
  MFNetTraffic(std::string procNetDev, std::string sysfsNet);

  // Growth of the selected counter of interface index since the previous sample, in bytes.
  // The first sample of an interface (or the first after another interface was sampled, or
  // after the counter type changed) returns 0 and only remembers the value. A counter that went
  // down (the interface was re-created or its counter wrapped) also returns 0. Returns
  // kReadFailed (negative: no traffic to draw) when the counters cannot be read, 0 for an
  // index that names no interface or an interface that has gone.
  double Sample(int interfaceIndex);

  // Latest raw value of the selected counter of that interface; samples first while it is 0.
  uint64_t RawValue(int interfaceIndex);

  // 1 received bytes, 2 sent bytes, anything else received plus sent.
  void SetCounterType(int type);
  int CounterType() const { return counterType_; }

  int InterfaceCount() const { return static_cast<int>(names_.size()); }
  // The first interface that is not a loopback device (loopback traffic never leaves the
  // machine); -1 when there is none.
  int FirstExternalInterface() const;
  // Name of an interface, empty outside the list.
  std::string InterfaceName(int interfaceIndex) const;
  // Link speed in bits per second read at construction; 0 when the link reports none.
  uint64_t InterfaceBandwidth(int interfaceIndex) const;

 private:
  struct Counters {
    std::string name;
    uint64_t received = 0;
    uint64_t sent = 0;
  };

  bool ReadCounters(std::vector<Counters>* out) const;
  uint64_t ReadBandwidth(const std::string& name) const;
  uint64_t Selected(const Counters& counters) const;
  bool ValidIndex(int interfaceIndex) const;

  std::string procNetDev_;
  std::string sysfsNet_;
  int counterType_ = kTotalBytes;
  std::vector<std::string> names_;
  std::vector<uint64_t> bandwidths_;
  std::vector<uint64_t> rawValues_;
  int lastSampled_ = -1;
  double previous_ = 0;
};

}  // namespace qxfw::monitor
