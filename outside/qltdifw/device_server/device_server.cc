#include "device_server/device_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "firewall/device_protocol.h"

namespace qltdifw {

using namespace qxfw::firewall;

DeviceServer::~DeviceServer() {
  if (listener_.Valid() && !path_.empty()) unlink(path_.c_str());
}

bool DeviceServer::Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // Made under a temporary name and renamed into place once it listens: the device appears
  // only when it can be opened.
  std::string building = path + ".new";
  if (building.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, building.c_str(), building.size() + 1);
  listener_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_.Valid()) return false;
  unlink(building.c_str());
  if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(building.c_str(), 0666) != 0 || listen(listener_.Get(), 16) != 0 ||
      rename(building.c_str(), path.c_str()) != 0) {
    unlink(building.c_str());
    listener_.Reset();
    return false;
  }
  path_ = path;
  spare_.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return true;
}

void DeviceServer::ShedOne() {
  spare_.Reset();
  qxfw::platform::UniqueFd peer(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  spare_.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

void DeviceServer::OnListenReadable() {
  for (;;) {
    qxfw::platform::UniqueFd peer(
        accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!peer.Valid()) {
      if ((errno == EMFILE || errno == ENFILE) && spare_.Valid()) {
        ShedOne();
        if (refusalLog_.Take(LogThrottle::Clock::now())) {
          syslog(LOG_WARNING, "device open refused: no descriptor left");
        }
        ++refused_;
        continue;
      }
      return;
    }
    ucred cred{};
    socklen_t length = sizeof(cred);
    uint32_t status = kStatusSuccess;
    if (getsockopt(peer.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 ||
        (cred.uid != 0 && cred.uid != user_)) {
      status = ERROR_ACCESS_DENIED;
    } else if (client_.Valid()) {
      if (handler_->ClientReplaceable()) {
        DropClient("a new client takes the device");
      } else {
        status = ERROR_SHARING_VIOLATION;
      }
    }
    std::vector<uint8_t> greeting;
    EncodeReply(status, nullptr, 0, &greeting);
    if (status != kStatusSuccess) {
      ++refused_;
      if (refusalLog_.Take(LogThrottle::Clock::now())) {
        syslog(LOG_NOTICE, "device open by pid %d uid %u refused (%u)", cred.pid, cred.uid, status);
      }
      (void)!send(peer.Get(), greeting.data(), greeting.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      continue;  // closed here
    }
    client_ = std::move(peer);
    incoming_.clear();
    outgoing_ = std::move(greeting);
    Flush();
    if (client_.Valid()) {
      syslog(LOG_INFO, "device opened by pid %d uid %u", cred.pid, cred.uid);
      handler_->OnClientAttached(cred.pid, cred.uid);
    }
  }
}

void DeviceServer::Tick(LogThrottle::Clock::time_point now, bool flush) {
  long long seconds = 0;
  if (uint64_t more = refusalLog_.Due(now, flush, &seconds)) {
    syslog(LOG_NOTICE, "%llu more device opens refused in the last %lld s",
           static_cast<unsigned long long>(more), seconds);
  }
}

void DeviceServer::DropClient(const char* why) {
  if (!client_.Valid()) return;
  syslog(LOG_INFO, "device client gone: %s", why);
  client_.Reset();
  incoming_.clear();
  outgoing_.clear();
  kept_ = false;
  handler_->OnClientGone();
}

void DeviceServer::AnswerKeptCall(uint32_t status, const void* output, uint32_t outputLength) {
  if (!kept_ || !client_.Valid()) return;
  kept_ = false;
  EncodeReply(status, output, std::min(outputLength, keptOutputSize_), &outgoing_);
  Flush();
}

void DeviceServer::OnClientReadable() {
  uint8_t buffer[16384];
  for (;;) {
    if (!client_.Valid()) return;
    ssize_t n = recv(client_.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n == 0) return DropClient("closed");
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      return DropClient(std::strerror(errno));
    }
    incoming_.insert(incoming_.end(), buffer, buffer + n);
    size_t at = 0;
    for (;;) {
      DeviceCall call;
      long taken = DecodeCall(incoming_.data() + at, incoming_.size() - at, &call);
      if (taken == kMalformed) return DropClient("malformed call");
      if (taken == kNeedMore) break;
      at += static_cast<size_t>(taken);
      if (kept_) {  // a later call: the kept one is answered first, in order
        kept_ = false;
        EncodeReply(ERROR_NO_DATA, nullptr, 0, &outgoing_);
      }
      std::vector<uint8_t> output;
      uint32_t status = handler_->OnCall(call, &output);
      if (!client_.Valid()) return;  // the call ended the client (release)
      if (status == kAnswerLater) {
        kept_ = true;
        keptOutputSize_ = call.outputSize;
        continue;
      }
      if (output.size() > call.outputSize) output.resize(call.outputSize);
      EncodeReply(status, output.data(), static_cast<uint32_t>(output.size()), &outgoing_);
      if (outgoing_.size() > kMaxOutgoing) return DropClient("does not read its answers");
    }
    incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<long>(at));
    Flush();
    // A short read emptied the socket; what comes later makes it readable again.
    if (static_cast<size_t>(n) < sizeof(buffer)) return;
  }
}

void DeviceServer::OnClientWritable() {
  Flush();
}

void DeviceServer::Flush() {
  while (client_.Valid() && !outgoing_.empty()) {
    ssize_t n =
        send(client_.Get(), outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      outgoing_.erase(outgoing_.begin(), outgoing_.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    DropClient("write failed");
  }
}

}  // namespace qltdifw
