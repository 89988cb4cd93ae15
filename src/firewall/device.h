// CDevice: the filter device as the driver channel and the notifier call it.
//
// One synchronous control call: a control code, input bytes, an output buffer; the answer is
// the device's status (0, or ERROR_NO_DATA when the queue is empty). The real device is the
// filter daemon's socket (CDeviceSocket); tests put a double in its place. Calls come from the
// user-interface thread and the notifier thread; an implementation serialises them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "firewall/device_client.h"

namespace qxfw::firewall {

class CDevice {
 public:
  virtual ~CDevice() = default;
  // Writes at most outputSize bytes to output and their count to *bytesReturned (always set).
  virtual uint32_t Call(uint32_t controlCode, const void* input, uint32_t inputLength, void* output,
                        uint32_t outputSize, uint32_t* bytesReturned) = 0;
  // Sends a call with no output whose answer nobody awaits (a verdict). The default makes an
  // ordinary call.
  virtual void Post(uint32_t controlCode, const void* input, uint32_t inputLength) {
    uint32_t got = 0;
    Call(controlCode, input, inputLength, nullptr, 0, &got);
  }
  // False once the channel broke (the daemon went away); every call then fails.
  virtual bool IsOpen() const { return true; }
  // Asks the device ahead for the next request, so that the fetch after the network event
  // finds it here (DeviceClient::PrefetchNetworkRequest). False when the device cannot.
  virtual bool PrefetchNetworkRequest(uint32_t /*outputSize*/) { return false; }
};

// The filter daemon's socket, opened exclusively.
class CDeviceSocket : public CDevice {
 public:
  // Null with *status set (ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED,
  // ERROR_GEN_FAILURE) when the device cannot be opened.
  static std::unique_ptr<CDeviceSocket> Open(const std::string& path, uint32_t* status = nullptr);
  uint32_t Call(uint32_t controlCode, const void* input, uint32_t inputLength, void* output,
                uint32_t outputSize, uint32_t* bytesReturned) override {
    return client_.Call(controlCode, input, inputLength, output, outputSize, bytesReturned);
  }
  void Post(uint32_t controlCode, const void* input, uint32_t inputLength) override {
    client_.Post(controlCode, input, inputLength);
  }
  bool IsOpen() const override { return client_.IsOpen(); }
  bool PrefetchNetworkRequest(uint32_t outputSize) override {
    return client_.PrefetchNetworkRequest(outputSize);
  }

 private:
  CDeviceSocket() = default;
  DeviceClient client_;
};

// A text for an open status, for messages.
const char* DeviceOpenErrorText(uint32_t status);

}  // namespace qxfw::firewall
