#include "firewall/device.h"

#include "firewall/device_protocol.h"

namespace qxfw::firewall {

std::unique_ptr<CDeviceSocket> CDeviceSocket::Open(const std::string& path, uint32_t* status) {
  std::unique_ptr<CDeviceSocket> device(new CDeviceSocket());
  uint32_t result = device->client_.Open(path);
  if (status != nullptr) *status = result;
  if (result != 0) return nullptr;
  return device;
}

const char* DeviceOpenErrorText(uint32_t status) {
  switch (status) {
    case 0:
      return "opened";
    case ERROR_FILE_NOT_FOUND:
      return "no filter daemon listens there";
    case ERROR_SHARING_VIOLATION:
      return "another client (the firewall program?) holds the device";
    case ERROR_ACCESS_DENIED:
      return "this user may not open the device";
    default:
      return "the device could not be opened";
  }
}

}  // namespace qxfw::firewall
