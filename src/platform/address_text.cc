#include "platform/address_text.h"

#include <cstdio>
#include <cstring>

namespace qxfw::platform {

std::string HostAddressText(uint32_t address) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "%u.%u.%u.%u", (address >> 24) & 0xFF,
                (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
  return buffer;
}

void NetworkAddressText(uint32_t networkOrder, char* buffer, size_t size) {
  unsigned char b[4];
  std::memcpy(b, &networkOrder, 4);
  std::snprintf(buffer, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

const char* NetworkAddressText(uint32_t networkOrder) {
  static char shared[16];
  NetworkAddressText(networkOrder, shared, sizeof(shared));
  return shared;
}

uint32_t ParseHostAddress(const char* text) {
  if (text == nullptr) return 0;
  int a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text, "%d.%d.%d.%d", &a, &b, &c, &d) != 4) return 0;
  for (int part : {a, b, c, d}) {
    if (part < 0 || part > 255) return 0;
  }
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
         (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d);
}

}  // namespace qxfw::platform
