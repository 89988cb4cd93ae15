// The device protocol's frame decoders on damaged call and reply streams.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "firewall/device_frame.h"
#include "fuzz_check.h"

using namespace qxfw::firewall;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A stream of calls, as the daemon reads it: each decoded frame re-encodes to its own bytes.
  size_t at = 0;
  while (at < size) {
    DeviceCall call;
    long taken = DecodeCall(data + at, size - at, &call);
    if (taken <= 0) break;
    FUZZ_CHECK(static_cast<size_t>(taken) <= size - at);
    FUZZ_CHECK(call.input.size() <= kMaxCallInput && call.outputSize <= kMaxCallOutput);
    std::vector<uint8_t> again;
    FUZZ_CHECK(EncodeCall(call.controlCode, call.input.data(),
                          static_cast<uint32_t>(call.input.size()), call.outputSize, &again));
    FUZZ_CHECK(again.size() == static_cast<size_t>(taken));
    FUZZ_CHECK(std::equal(again.begin(), again.end(), data + at));
    at += static_cast<size_t>(taken);
  }
  // The same bytes as replies, as a client reads them, against a 36-byte output size.
  at = 0;
  while (at < size) {
    DeviceReply reply;
    long taken = DecodeReply(data + at, size - at, 36, &reply);
    if (taken <= 0) break;
    FUZZ_CHECK(static_cast<size_t>(taken) <= size - at && reply.output.size() <= 36);
    at += static_cast<size_t>(taken);
  }
  return 0;
}
