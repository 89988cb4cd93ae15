#include "events/driver_events.h"

#include <syslog.h>

#include <algorithm>
#include <cstring>

namespace qltdifw {

using namespace qxfw::firewall;
using qxfw::platform::EventScope;
using qxfw::platform::NamedEventCreator;

bool DriverEvents::Create() {
  for (auto [base, creator] : {std::pair{kNetworkNotifyEventName, &network_},
                               std::pair{kLoadImageNotifyEventName, &image_}}) {
    std::string name = DriverEventName(base);
    int error = 0;
    *creator = NamedEventCreator::Create(name, EventScope::kSystem, &error);
    if (*creator == nullptr) {
      syslog(LOG_ERR, "event %s cannot be created: %s", name.c_str(), strerror(error));
      return false;
    }
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
