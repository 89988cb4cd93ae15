// Encoding and bounds-checked decoding of the frames of the device protocol
// (firewall/device_protocol.h). Used by the daemon's device server and by DeviceClient.
// Pure functions, no state: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "firewall/device_protocol.h"

namespace qxfw::firewall {

struct DeviceCall {
  uint32_t controlCode = 0;
  uint32_t outputSize = 0;
  std::vector<uint8_t> input;
};

struct DeviceReply {
  uint32_t status = 0;
  std::vector<uint8_t> output;
};

// Result of a decode: the bytes one frame took (> 0), kNeedMore when the bytes so far are a
// correct but incomplete frame, kMalformed when they can never become one.
inline constexpr long kNeedMore = 0;
inline constexpr long kMalformed = -1;

// Decodes the call at the start of data. Input lengths and output sizes above kMaxCallInput
// and kMaxCallOutput are malformed.
long DecodeCall(const uint8_t* data, size_t size, DeviceCall* call);

// Decodes the reply at the start of data; an output longer than maxOutput (the output size the
// call asked for) is malformed.
long DecodeReply(const uint8_t* data, size_t size, uint32_t maxOutput, DeviceReply* reply);

// Appends one frame to out. Inputs and outputs beyond the limits are the caller's fault:
// EncodeCall and EncodeReply return false and append nothing.
bool EncodeCall(uint32_t controlCode, const void* input, uint32_t inputLength, uint32_t outputSize,
                std::vector<uint8_t>* out);
bool EncodeReply(uint32_t status, const void* output, uint32_t outputLength,
                 std::vector<uint8_t>* out);

}  // namespace qxfw::firewall
