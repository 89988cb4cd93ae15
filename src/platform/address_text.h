// Dotted-quad texts of IPv4 addresses.
//
// Rules keep an address as a host-order u32 whose most significant byte is the first dotted
// number (10.0.0.1 is 0x0A000001); requests and connection tables keep network byte order.
// Stateless and thread-safe, except NetworkAddressText's shared buffer, which belongs to the
// user-interface thread.
#pragma once

#include <cstdint>
#include <string>

namespace qxfw::platform {

// "%d.%d.%d.%d" of a host-order address, highest byte first.
std::string HostAddressText(uint32_t address);
// "%d.%d.%d.%d" of a network-order address, the first byte in memory first. The one-argument
// form writes into a buffer shared by all callers and returns it.
const char* NetworkAddressText(uint32_t networkOrder);
void NetworkAddressText(uint32_t networkOrder, char* buffer, size_t size);
// Reads "%d.%d.%d.%d" into a host-order address. Any number above 255 (or below 0) gives 0, as
// does a text that does not start with four dot-separated numbers.
uint32_t ParseHostAddress(const char* text);

}  // namespace qxfw::platform
