// The client end of the filter daemon's device: opens the socket the way a device is opened
// exclusively, and makes synchronous calls with a control code, input bytes and an output size.
//
// Used by the program's driver channel and by the daemon's tests. One DeviceClient may be used
// from several threads (the poll on the user-interface thread, image-load fetches on the
// notifier thread): a lock keeps each call and its reply together.
//
// The daemon answers every call, in call order. Post sends a call without waiting for its
// answer (a verdict, whose status nobody uses); the answers of posted calls are read and
// dropped by the next Call, so a verdict costs the caller no wait for the daemon.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "firewall/device_protocol.h"
#include "platform/file.h"

namespace qxfw::firewall {

// <$QXFW_RUNTIME_DIR, else /run/qxfw>/qltdifw.sock
std::string DeviceSocketPath();

class DeviceClient {
 public:
  DeviceClient() = default;
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  // Opens the device at path. Returns 0 when it is now this client's, else a status:
  // ERROR_FILE_NOT_FOUND (2) when no daemon listens there, ERROR_SHARING_VIOLATION when another
  // client holds it, ERROR_ACCESS_DENIED when this user may not open it, ERROR_GEN_FAILURE (31)
  // on any other failure. recvTimeoutMs bounds the wait for each answer.
  uint32_t Open(const std::string& path, int recvTimeoutMs = 5000);
  bool IsOpen() const { return fd_.Valid(); }
  void Close();

  // One call. Copies at most outputSize answer bytes to output and their count to
  // *bytesReturned (always set, 0 on failure). Returns the daemon's status, or
  // ERROR_GEN_FAILURE when the device is not open, the connection broke or the answer was
  // malformed (the device is then closed: the stream cannot be trusted any more).
  uint32_t Call(uint32_t controlCode, const void* input, uint32_t inputLength, void* output,
                uint32_t outputSize, uint32_t* bytesReturned);
  // Sends a call with no output whose answer is not awaited. False when the device is not
  // open or the connection broke (the device is then closed).
  bool Post(uint32_t controlCode, const void* input, uint32_t inputLength);

  // Posted calls whose answers have not been read beyond this are read before the next post,
  // so a caller that only posts cannot fill the daemon's answer buffer.
  static constexpr size_t kMaxUnreadAnswers = 256;

 private:
  // REQUIRES: mutex_ held. Reads one answer of at most maxOutput bytes into *header and
  // output; false (the device closed) on a broken connection or a malformed answer.
  bool ReadReplyLocked(uint32_t maxOutput, tagDEVICE_REPLY_HEADER* header, void* output);
  // REQUIRES: mutex_ held. Reads and drops the answers of posted calls.
  bool DrainPostedLocked();
  bool SendLocked(uint32_t controlCode, const void* input, uint32_t inputLength,
                  uint32_t outputSize);
  void CloseLocked();

  std::mutex mutex_;
  platform::UniqueFd fd_;
  size_t unread_ = 0;              // answers of posted calls still in the stream
  std::vector<uint8_t> received_;  // bytes read past the answer being decoded
  std::vector<uint8_t> frame_;     // the call being sent, kept to save an allocation per call
};

inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;

}  // namespace qxfw::firewall
