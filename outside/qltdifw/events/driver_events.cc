#include "events/driver_events.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qltdifw {

using namespace qxfw::firewall;
using qxfw::platform::EventScope;
using qxfw::platform::NamedEventCreator;

bool DriverEvents::Create(const std::string& runtimeDir, uid_t user) {
  qxfw::platform::NamedEventOptions options;
  options.folder = runtimeDir;
  options.openerUser = user;
  for (auto [name, creator] : {std::pair{kNetworkNotifyEventName, &network_},
                               std::pair{kLoadImageNotifyEventName, &image_}}) {
    int error = 0;
    qxfw::platform::NamedEventHolder holder;
    *creator = NamedEventCreator::Create(name, EventScope::kSystem, &error, options, &holder);
    if (*creator != nullptr) continue;
    // Nothing is filtered when the daemon does not run: say so plainly.
    if (error == EEXIST && holder.pid != 0) {
      syslog(LOG_ERR,
             "not started, nothing is filtered by this daemon: another daemon (pid %d) runs with "
             "the runtime folder %s; one daemon runs per runtime folder (stop it, or give this "
             "one another --runtime-dir)",
             static_cast<int>(holder.pid), runtimeDir.c_str());
    } else if (error == EEXIST) {
      syslog(LOG_ERR,
             "not started, nothing is filtered by this daemon: another daemon is starting with "
             "the runtime folder %s; one daemon runs per runtime folder",
             runtimeDir.c_str());
    } else if (error == EPERM) {
      syslog(LOG_ERR,
             "not started, nothing is filtered: the runtime folder %s must belong to root and be "
             "writable by root only",
             runtimeDir.c_str());
    } else {
      syslog(LOG_ERR, "not started, nothing is filtered: event %s cannot be created in %s: %s",
             name, runtimeDir.c_str(), qxfw::platform::NamedEventErrorText(error).c_str());
    }
    return false;
  }
  return true;
}

void DriverEvents::RequestQueued() {
  if (network_) network_->Set();
}

void DriverEvents::ImageLoaded(pid_t pid, const std::string& path) {
  if (images_.size() >= kMaxImages) images_.pop_front();
  images_.emplace_back(pid, path);
  if (image_) image_->Set();
}

bool DriverEvents::NextImage(pid_t* pid, std::string* path) {
  if (images_.empty()) return false;
  *pid = images_.front().first;
  *path = std::move(images_.front().second);
  images_.pop_front();
  return true;
}

tagIMAGE_LOAD_W WideImageRecord(pid_t pid, const std::string& path) {
  tagIMAGE_LOAD_W record{};
  record.processId = static_cast<uint32_t>(pid);
  size_t units = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(path.data());
  const unsigned char* end = p + path.size();
  while (p < end) {
    uint32_t cp;
    size_t length;
    if (*p < 0x80) {
      cp = *p, length = 1;
    } else if ((*p & 0xE0) == 0xC0) {
      cp = *p & 0x1F, length = 2;
    } else if ((*p & 0xF0) == 0xE0) {
      cp = *p & 0x0F, length = 3;
    } else if ((*p & 0xF8) == 0xF0) {
      cp = *p & 0x07, length = 4;
    } else {
      cp = 0xFFFD, length = 1;
    }
    if (static_cast<size_t>(end - p) < length) {
      cp = 0xFFFD, length = static_cast<size_t>(end - p);
    } else {
      for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
          cp = 0xFFFD, length = i;
          break;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
      }
    }
    p += length;
    size_t need = cp >= 0x10000 ? 2 : 1;
    if (units + need > kImagePathUnits - 1) break;  // keep the terminating NUL
    if (cp >= 0x10000) {
      cp -= 0x10000;
      record.path[units++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      record.path[units++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      record.path[units++] = static_cast<char16_t>(cp);
    }
  }
  return record;
}

tagIMAGE_LOAD_A NarrowImageRecord(pid_t pid, const std::string& path) {
  tagIMAGE_LOAD_A record{};
  record.processId = static_cast<uint32_t>(pid);
  size_t length = std::min(path.size(), kImagePathBytes - 1);
  // Never cut inside a multibyte character.
  while (length > 0 && length < path.size() && (path[length] & 0xC0) == 0x80) --length;
  std::memcpy(record.path, path.data(), length);
  return record;
}

}  // namespace qltdifw
