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
// PrefetchNetworkRequest asks the daemon ahead for the next request (IOCTL_WAIT_NETWORK_REQUEST);
// the next GET_NETWORK_REQUEST call takes a request that has come that way without a round
// trip to the daemon, and otherwise goes to the daemon as usual.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "firewall/device_frame.h"
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
  // Sends IOCTL_WAIT_NETWORK_REQUEST for outputSize bytes unless one is under way or the
  // request it brought has not been fetched yet. From then on every Post made while no fetch
  // ahead is under way carries the next one. False when the device is not open, the
  // connection broke, or the daemon does not know the call.
  bool PrefetchNetworkRequest(uint32_t outputSize);

  // Posted calls whose answers have not been read beyond this are read before the next post,
  // so a caller that only posts cannot fill the daemon's answer buffer.
  static constexpr size_t kMaxUnreadAnswers = 256;

 private:
  enum class Read { kDone, kNotYet, kBroken };
  // An answer still to be read: of a posted call (dropped) or of a fetch ahead (kept).
  struct Unread {
    bool fetchAhead;
    uint32_t outputSize;
  };
  // REQUIRES: mutex_ held. Reads one answer of at most maxOutput bytes into *answer; kNotYet
  // only when !wait and it has not fully come. kBroken (the device closed) on a broken
  // connection or a malformed answer.
  Read ReadReplyLocked(uint32_t maxOutput, bool wait, DeviceReply* answer);
  // REQUIRES: mutex_ held. Reads the answers of posted calls and fetches ahead, in order.
  Read ReadUnreadLocked(bool wait);
  // REQUIRES: mutex_ held. Hands the request fetched ahead to a GET_NETWORK_REQUEST call.
  uint32_t TakeAheadLocked(void* output, uint32_t outputSize, uint32_t* bytesReturned);
  bool SendLocked(uint32_t controlCode, const void* input, uint32_t inputLength,
                  uint32_t outputSize);
  bool SendFrameLocked();  // sends frame_; closes the device when the connection broke
  void CloseLocked();

  std::mutex mutex_;
  platform::UniqueFd fd_;
  std::deque<Unread> unread_;   // in stream order
  bool aheadUnderWay_ = false;  // a fetch ahead is in unread_
  bool haveAhead_ = false;      // ahead_ holds a request not yet fetched
  bool aheadUnknown_ = false;   // the daemon answered a fetch ahead as an unknown call
  uint32_t keepAheadSize_ = 0;  // the output size of fetches ahead; 0: the caller keeps none
  DeviceReply ahead_;
  std::vector<uint8_t> received_;  // bytes read past the answer being decoded
  std::vector<uint8_t> frame_;     // the call being sent, kept to save an allocation per call
};

inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;

}  // namespace qxfw::firewall
