// The two named driver events and the image-load records behind the second one.
// "HKNetworkNotifyEvent_QXFW" is set once per queued request; "HKLoadImageNotifyEvent_QXFW"
// once per image-load record queued. The records wait in a bounded queue (the oldest goes when
// it is full). The events are sockets in the daemon's runtime folder, so one daemon runs per
// runtime folder and daemons with folders of their own run side by side; only root and the
// daemon's user are served. Used by the daemon's one thread.
#pragma once

#include <sys/types.h>

#include <deque>
#include <memory>
#include <string>

#include "firewall/device_protocol.h"
#include "platform/named_event.h"

namespace qltdifw {

class DriverEvents {
 public:
  // Creates both events in runtimeDir, served to root and user. False with a syslog line
  // saying why (for example the pid of the daemon that already runs with this folder).
  bool Create(const std::string& runtimeDir, uid_t user);
  void RequestQueued();
  // Queues an image-load record for pid running path.
  void ImageLoaded(pid_t pid, const std::string& path);
  // The oldest record; false when none waits.
  bool NextImage(pid_t* pid, std::string* path);
  void ClearImages() { images_.clear(); }

  static constexpr size_t kMaxImages = 256;

 private:
  std::unique_ptr<qxfw::platform::NamedEventCreator> network_;
  std::unique_ptr<qxfw::platform::NamedEventCreator> image_;
  std::deque<std::pair<pid_t, std::string>> images_;
};

// Fills the 534-byte record (UTF-16 path, cut to fit) or the 268-byte one (UTF-8, cut at a
// character boundary).
qxfw::firewall::tagIMAGE_LOAD_W WideImageRecord(pid_t pid, const std::string& path);
qxfw::firewall::tagIMAGE_LOAD_A NarrowImageRecord(pid_t pid, const std::string& path);

}  // namespace qltdifw
