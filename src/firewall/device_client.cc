#include "firewall/device_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firewall/device_frame.h"
#include "platform/debug_output.h"

namespace qxfw::firewall {
namespace {

bool ReadExactly(int fd, void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::recv(fd, bytes + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string DeviceSocketPath() {
  const char* dir = std::getenv(kRuntimeDirVariable);
  std::string folder = dir != nullptr && *dir != '\0' ? dir : kDefaultRuntimeDir;
  return folder + "/" + kDeviceSocketName;
}

uint32_t DeviceClient::Open(const std::string& path, int recvTimeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return ERROR_FILE_NOT_FOUND;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return ERROR_GEN_FAILURE;
  timeval timeout{recvTimeoutMs / 1000, (recvTimeoutMs % 1000) * 1000};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) return ERROR_FILE_NOT_FOUND;
    return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
  }
  tagDEVICE_REPLY_HEADER greeting{};
  if (!ReadExactly(fd.Get(), &greeting, sizeof(greeting))) return ERROR_GEN_FAILURE;
  if (greeting.status != kStatusSuccess) return greeting.status;
  if (greeting.outputLength != 0) return ERROR_GEN_FAILURE;
  fd_ = std::move(fd);
  return kStatusSuccess;
}

void DeviceClient::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

void DeviceClient::CloseLocked() {
  fd_.Reset();
  unread_.clear();
  aheadUnderWay_ = false;
  haveAhead_ = false;
  keepAheadSize_ = 0;
  received_.clear();
}

bool DeviceClient::SendLocked(uint32_t controlCode, const void* input, uint32_t inputLength,
                              uint32_t outputSize) {
  frame_.clear();
  if (!EncodeCall(controlCode, input, inputLength, outputSize, &frame_)) return false;
  return SendFrameLocked();
}

bool DeviceClient::SendFrameLocked() {
  if (!SendAll(fd_.Get(), frame_)) {
    CloseLocked();
    return false;
  }
  return true;
}

DeviceClient::Read DeviceClient::ReadReplyLocked(uint32_t maxOutput, bool wait,
                                                 DeviceReply* answer) {
  for (;;) {
    long taken = DecodeReply(received_.data(), received_.size(), maxOutput, answer);
    if (taken == kMalformed) {
      platform::DebugOutput("[QXFW]DeviceClient: malformed answer (at most %u bytes asked)",
                            maxOutput);
      CloseLocked();
      return Read::kBroken;
    }
    if (taken > 0) {
      received_.erase(received_.begin(), received_.begin() + taken);
      return Read::kDone;
    }
    // One read usually brings the whole answer; only answers of calls already sent can
    // follow it, and they stay here for their turn.
    uint8_t chunk[kMaxCallOutput + sizeof(tagDEVICE_REPLY_HEADER)];
    ssize_t n = ::recv(fd_.Get(), chunk, sizeof(chunk), wait ? 0 : MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::kNotYet;
    if (n <= 0) {
      CloseLocked();
      return Read::kBroken;
    }
    received_.insert(received_.end(), chunk, chunk + n);
  }
}

DeviceClient::Read DeviceClient::ReadUnreadLocked(bool wait) {
  DeviceReply answer;
  while (!unread_.empty()) {
    Unread next = unread_.front();
    Read read = ReadReplyLocked(next.outputSize, wait, &answer);
    if (read != Read::kDone) return read;
    unread_.pop_front();
    if (!next.fetchAhead) continue;
    aheadUnderWay_ = false;
    // A daemon that does not know the call: fetches go the ordinary way from now on.
    if (answer.status == ERROR_INVALID_FUNCTION) aheadUnknown_ = true;
    // Only a request is kept; "none waits" is stale by the time anyone asks.
    if (answer.status == kStatusSuccess && !answer.output.empty()) {
      ahead_ = std::move(answer);
      haveAhead_ = true;
    }
  }
  return Read::kDone;
}

uint32_t DeviceClient::TakeAheadLocked(void* output, uint32_t outputSize, uint32_t* bytesReturned) {
  // A buffer too small for the daemon's form gets 0 bytes, as the daemon would answer; the
  // request stays for the caller's try with the other form.
  if (ahead_.output.size() > outputSize) return kStatusSuccess;
  std::memcpy(output, ahead_.output.data(), ahead_.output.size());
  *bytesReturned = static_cast<uint32_t>(ahead_.output.size());
  haveAhead_ = false;
  return ahead_.status;
}

uint32_t DeviceClient::Call(uint32_t controlCode, const void* input, uint32_t inputLength,
                            void* output, uint32_t outputSize, uint32_t* bytesReturned) {
  *bytesReturned = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_.Valid()) return ERROR_GEN_FAILURE;
  if (inputLength > kMaxCallInput || outputSize > kMaxCallOutput ||
      (inputLength > 0 && input == nullptr) || (outputSize > 0 && output == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  bool fetch = controlCode == IOCTL_GET_NETWORK_REQUEST;
  if (fetch && aheadUnderWay_ && ReadUnreadLocked(false) == Read::kBroken) {
    return ERROR_GEN_FAILURE;
  }
  if (fetch && haveAhead_) return TakeAheadLocked(output, outputSize, bytesReturned);
  // The call goes out before earlier answers are read: the daemon works on it meanwhile. It
  // also makes the daemon answer a fetch ahead that still waits.
  if (!SendLocked(controlCode, input, inputLength, outputSize)) return ERROR_GEN_FAILURE;
  DeviceReply own;
  if (ReadUnreadLocked(true) != Read::kDone ||
      ReadReplyLocked(outputSize, true, &own) != Read::kDone) {
    platform::DebugOutput("[QXFW]DeviceClient::Call: no valid answer to 0x%X", controlCode);
    return ERROR_GEN_FAILURE;
  }
  if (fetch && haveAhead_) {
    // The fetch ahead brought a request after all: it is the older one and goes first; a
    // request this call brought waits for the next fetch.
    uint32_t status = TakeAheadLocked(output, outputSize, bytesReturned);
    if (own.status == kStatusSuccess && !own.output.empty()) {
      ahead_ = std::move(own);
      haveAhead_ = true;
    }
    return status;
  }
  if (!own.output.empty()) std::memcpy(output, own.output.data(), own.output.size());
  *bytesReturned = static_cast<uint32_t>(own.output.size());
  return own.status;
}

bool DeviceClient::Post(uint32_t controlCode, const void* input, uint32_t inputLength) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_.Valid()) return false;
  if (inputLength > kMaxCallInput || (inputLength > 0 && input == nullptr)) return false;
  if (unread_.size() >= kMaxUnreadAnswers && ReadUnreadLocked(true) != Read::kDone) return false;
  frame_.clear();
  if (!EncodeCall(controlCode, input, inputLength, 0, &frame_)) return false;
  // A caller that keeps a fetch ahead gets the next one in the same write as the post (a
  // verdict, as a rule): the daemon then reads both at once and holds the fetch before the
  // next request comes.
  bool ahead = keepAheadSize_ != 0 && !aheadUnknown_ && !aheadUnderWay_ && !haveAhead_ &&
               EncodeCall(IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, keepAheadSize_, &frame_);
  if (!SendFrameLocked()) return false;
  unread_.push_back(Unread{false, 0});
  if (ahead) {
    unread_.push_back(Unread{true, keepAheadSize_});
    aheadUnderWay_ = true;
  }
  return true;
}

bool DeviceClient::PrefetchNetworkRequest(uint32_t outputSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_.Valid()) return false;
  if (aheadUnknown_) return false;
  if (outputSize > kMaxCallOutput) return false;
  keepAheadSize_ = outputSize;
  if (aheadUnderWay_ || haveAhead_) return true;
  if (unread_.size() >= kMaxUnreadAnswers && ReadUnreadLocked(true) != Read::kDone) return false;
  if (!SendLocked(IOCTL_WAIT_NETWORK_REQUEST, nullptr, 0, outputSize)) return false;
  unread_.push_back(Unread{true, outputSize});
  aheadUnderWay_ = true;
  return true;
}

}  // namespace qxfw::firewall
