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
  unread_ = 0;
  received_.clear();
}

bool DeviceClient::SendLocked(uint32_t controlCode, const void* input, uint32_t inputLength,
                              uint32_t outputSize) {
  frame_.clear();
  if (!EncodeCall(controlCode, input, inputLength, outputSize, &frame_)) return false;
  if (!SendAll(fd_.Get(), frame_)) {
    CloseLocked();
    return false;
  }
  return true;
}

bool DeviceClient::ReadReplyLocked(uint32_t maxOutput, tagDEVICE_REPLY_HEADER* header,
                                   void* output) {
  for (;;) {
    if (received_.size() >= sizeof(*header)) {
      std::memcpy(header, received_.data(), sizeof(*header));
      if (header->outputLength > maxOutput) {
        platform::DebugOutput("[QXFW]DeviceClient::Call: answer of %u bytes, at most %u asked",
                              header->outputLength, maxOutput);
        CloseLocked();
        return false;
      }
      size_t total = sizeof(*header) + header->outputLength;
      if (received_.size() >= total) {
        if (header->outputLength > 0 && output != nullptr) {
          std::memcpy(output, received_.data() + sizeof(*header), header->outputLength);
        }
        received_.erase(received_.begin(), received_.begin() + static_cast<long>(total));
        return true;
      }
    }
    // One read usually brings the whole answer; only answers of calls already sent can
    // follow it, and they stay here for their turn.
    uint8_t chunk[kMaxCallOutput + sizeof(tagDEVICE_REPLY_HEADER)];
    ssize_t n = ::recv(fd_.Get(), chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      CloseLocked();
      return false;
    }
    received_.insert(received_.end(), chunk, chunk + n);
  }
}

bool DeviceClient::DrainPostedLocked() {
  while (unread_ > 0) {
    tagDEVICE_REPLY_HEADER header{};
    if (!ReadReplyLocked(0, &header, nullptr)) return false;
    --unread_;
  }
  return true;
}

uint32_t DeviceClient::Call(uint32_t controlCode, const void* input, uint32_t inputLength,
                            void* output, uint32_t outputSize, uint32_t* bytesReturned) {
  *bytesReturned = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_.Valid()) return ERROR_GEN_FAILURE;
  if (inputLength > kMaxCallInput || outputSize > kMaxCallOutput ||
      (inputLength > 0 && input == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  // The call goes out before the answers of posted calls are read: the daemon works on it
  // while they are taken.
  if (!SendLocked(controlCode, input, inputLength, outputSize)) return ERROR_GEN_FAILURE;
  tagDEVICE_REPLY_HEADER header{};
  if (!DrainPostedLocked() || !ReadReplyLocked(outputSize, &header, output)) {
    platform::DebugOutput("[QXFW]DeviceClient::Call: no valid answer to 0x%X", controlCode);
    return ERROR_GEN_FAILURE;
  }
  *bytesReturned = header.outputLength;
  return header.status;
}

bool DeviceClient::Post(uint32_t controlCode, const void* input, uint32_t inputLength) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_.Valid()) return false;
  if (inputLength > kMaxCallInput || (inputLength > 0 && input == nullptr)) return false;
  if (unread_ >= kMaxUnreadAnswers && !DrainPostedLocked()) return false;
  if (!SendLocked(controlCode, input, inputLength, 0)) return false;
  ++unread_;
  return true;
}

}  // namespace qxfw::firewall
