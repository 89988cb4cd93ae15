// The few fields of a queued IPv4 packet that the daemon needs, read with every length checked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qltdifw {

struct PacketInfo {
  uint8_t protocol = 0;     // IPPROTO_TCP or IPPROTO_UDP
  uint32_t localAddr = 0;   // network order (the packet's source: it is outgoing)
  uint32_t remoteAddr = 0;  // network order
  uint16_t localPort = 0;   // network order
  uint16_t remotePort = 0;  // network order
  bool syn = false;         // TCP: SYN without ACK, a connection attempt
};

// False when the bytes are not a whole IPv4 TCP or UDP header (the packet then passes).
bool ParsePacket(const uint8_t* data, size_t size, PacketInfo* info);

}  // namespace qltdifw
