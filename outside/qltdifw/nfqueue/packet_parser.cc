#include "nfqueue/packet_parser.h"

#include <netinet/in.h>

#include <cstring>

namespace qltdifw {

bool ParsePacket(const uint8_t* data, size_t size, PacketInfo* info) {
  if (data == nullptr || size < 20) return false;
  if ((data[0] >> 4) != 4) return false;
  size_t headerLength = static_cast<size_t>(data[0] & 0x0F) * 4;
  if (headerLength < 20 || headerLength > size) return false;
  uint16_t fragment = static_cast<uint16_t>((data[6] << 8) | data[7]);
  if ((fragment & 0x1FFF) != 0) return false;  // a later fragment has no ports
  uint8_t protocol = data[9];
  if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return false;
  const uint8_t* transport = data + headerLength;
  size_t left = size - headerLength;
  if (left < (protocol == IPPROTO_TCP ? 20u : 8u)) return false;
  info->protocol = protocol;
  std::memcpy(&info->localAddr, data + 12, 4);
  std::memcpy(&info->remoteAddr, data + 16, 4);
  std::memcpy(&info->localPort, transport, 2);
  std::memcpy(&info->remotePort, transport + 2, 2);
  info->syn = protocol == IPPROTO_TCP && (transport[13] & 0x12) == 0x02;
  return true;
}

}  // namespace qltdifw
