// The daemon's own iptables rules (nf_tables backend, through the iptables command): one chain
// of its own, "qltdifw-<queue>", jumped to from OUTPUT. In order, the chain
//   - returns for loopback;
//   - rejects packets the daemon marked for a block verdict (TCP reset, ICMP port unreachable);
//   - queues new TCP connection attempts and new UDP flows, with bypass, so traffic flows while
//     no daemon listens on the queue.
// The daemon's block verdict is a repeat with the mark: the packet goes through OUTPUT again
// and the reject rule answers the program at once.
//
// Install first removes what a killed earlier instance of the same queue left; Remove takes out
// exactly this chain and its jump. Runs in the named network namespace when one is given.
#pragma once

#include <cstdint>
#include <string>

namespace qltdifw {

inline constexpr uint32_t kBlockMark = 0x51F70000;
inline constexpr uint32_t kBlockMarkMask = 0xFFFF0000;

class IptablesRules {
 public:
  IptablesRules(uint16_t queue, std::string netns);
  ~IptablesRules();  // removes the rules when installed
  IptablesRules(const IptablesRules&) = delete;
  IptablesRules& operator=(const IptablesRules&) = delete;

  bool Install();
  void Remove();
  const std::string& Chain() const { return chain_; }

 private:
  // Runs iptables with args; true on exit status 0. Output is discarded.
  bool Run(const std::string& args) const;

  uint16_t queue_;
  std::string netns_;
  std::string chain_;
  bool installed_ = false;
};

}  // namespace qltdifw
