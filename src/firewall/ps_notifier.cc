#include "firewall/ps_notifier.h"

#include <cstring>
#include <vector>

#include "firewall/device.h"
#include "firewall/device_protocol.h"
#include "firewall/driver_host.h"
#include "monitor/image_cacher.h"
#include "monitor/trusted_path.h"
#include "platform/debug_output.h"
#include "platform/path_text.h"

namespace qxfw::firewall {
namespace {

constexpr uint32_t kWideRecordSize = sizeof(tagIMAGE_LOAD_W);
constexpr uint32_t kNarrowRecordSize = sizeof(tagIMAGE_LOAD_A);
constexpr int kIdleTimeoutMs = 5000;
constexpr int kBusyTimeoutMs = 100;
constexpr int kNoEventsTimeoutMs = 50;

// UTF-16 (little-endian, NUL-terminated within its units) to UTF-8; unpaired surrogates
// become U+FFFD.
std::string Utf8OfUtf16(const uint8_t* data, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = data[2 * i] | (data[2 * i + 1] << 8);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

CPsNotifier::CPsNotifier(CDevice& device, CDriverHost& host,
                         std::unique_ptr<platform::NamedEventHandle> networkEvent,
                         std::unique_ptr<platform::NamedEventHandle> imageEvent,
                         monitor::CImageCacher& images, NetworkWaiter waiter)
    : device_(device),
      host_(host),
      network_(std::move(networkEvent)),
      images_(std::move(imageEvent)),
      cache_(images),
      waiter_(waiter) {
  if (waiter_ == NetworkWaiter::kHost) network_.reset();
  thread_ = std::thread([this] { Run(); });
}

std::unique_ptr<CPsNotifier> CPsNotifier::Open(CDevice& device, CDriverHost& host) {
  auto network = platform::NamedEventHandle::Open(
      kNetworkNotifyEventName, platform::EventScope::kSystem, nullptr, RuntimeFolder());
  auto images = platform::NamedEventHandle::Open(
      kLoadImageNotifyEventName, platform::EventScope::kSystem, nullptr, RuntimeFolder());
  return std::make_unique<CPsNotifier>(device, host, std::move(network), std::move(images),
                                       monitor::CImageCacher::Instance());
}

std::unique_ptr<CPsNotifier> CPsNotifier::OpenWithHostNetworkWait(
    CDevice& device, CDriverHost& host, std::unique_ptr<platform::NamedEventHandle>* networkEvent) {
  *networkEvent = platform::NamedEventHandle::Open(
      kNetworkNotifyEventName, platform::EventScope::kSystem, nullptr, RuntimeFolder());
  auto images = platform::NamedEventHandle::Open(
      kLoadImageNotifyEventName, platform::EventScope::kSystem, nullptr, RuntimeFolder());
  NetworkWaiter waiter = *networkEvent ? NetworkWaiter::kHost : NetworkWaiter::kNotifier;
  return std::make_unique<CPsNotifier>(device, host, nullptr, std::move(images),
                                       monitor::CImageCacher::Instance(), waiter);
}

CPsNotifier::~CPsNotifier() {
  Stop();
}

void CPsNotifier::Stop() {
  stop_.Set();
  if (thread_.joinable()) thread_.join();
}

int CPsNotifier::DrainImageLoads() {
  int recorded = 0;
  for (;;) {
    uint8_t record[kWideRecordSize] = {};
    uint32_t got = 0;
    uint32_t processId = 0;
    std::string path;
    if (device_.Call(IOCTL_GET_IMAGE_LOAD, record, sizeof(record), record, sizeof(record), &got) !=
        kStatusSuccess) {
      break;
    }
    if (got == kWideRecordSize) {
      std::memcpy(&processId, record, 4);
      path = Utf8OfUtf16(record + 4, (kWideRecordSize - 4) / 2);
    } else if (got == 0) {
      uint8_t narrow[kNarrowRecordSize] = {};
      if (device_.Call(IOCTL_GET_IMAGE_LOAD, narrow, sizeof(narrow), narrow, sizeof(narrow),
                       &got) != kStatusSuccess ||
          got != kNarrowRecordSize) {
        break;
      }
      std::memcpy(&processId, narrow, 4);
      const char* text = reinterpret_cast<const char*>(narrow + 4);
      path.assign(text, strnlen(text, kNarrowRecordSize - 4));
    } else {
      platform::DebugOutput("[QXFW]PsNotifier: image record of %u bytes ignored", got);
      break;
    }
    path = platform::ResolveDots(path);
    if (path.empty() || path == lastPath_ || !platform::IsExecutableProgram(path)) continue;
    // Only a path the kernel confirms for the running process goes into the cache, so a
    // program in another mount namespace cannot name a packaged file as its own.
    monitor::RunningProgram program = monitor::TrustedProgramOf(static_cast<pid_t>(processId));
    if (!program.trusted || program.path != path) {
      // A process that has already ended or moved on is common; only a mismatch is worth a line.
      if (!program.path.empty() && program.path != path) {
        platform::DebugOutput("[QXFW]PsNotifier: %s of process %u not confirmed", path.c_str(),
                              processId);
      }
      continue;
    }
    cache_.Record(processId, program);
    lastPath_ = path;
    ++recorded;
    host_.PostImageLoaded(processId);
  }
  return recorded;
}

void CPsNotifier::Run() {
  int timeoutMs = kIdleTimeoutMs;
  for (;;) {
    if (!network_ && !images_ && waiter_ == NetworkWaiter::kNotifier) {
      if (stop_.Wait(kNoEventsTimeoutMs) == platform::WaitResult::kSignalled) break;
      host_.PostPoll();
      continue;
    }
    // Only the events that exist are waited on, so one missing event cannot turn the wait
    // into a busy loop.
    int fds[3] = {stop_.Fd(), -1, -1};
    size_t count = 1;
    int networkIndex = -1, imageIndex = -1;
    if (network_) {
      networkIndex = static_cast<int>(count);
      fds[count++] = network_->Fd();
    }
    if (images_) {
      imageIndex = static_cast<int>(count);
      fds[count++] = images_->Fd();
    }
    int ready = platform::WaitForAny(fds, count, timeoutMs);
    if (ready == 0) break;
    if (ready == platform::kWaitTimeout) {
      host_.PostPoll();
      DrainImageLoads();
      timeoutMs = kIdleTimeoutMs;
    } else if (ready == networkIndex) {
      if (network_->Wait(0) == platform::WaitResult::kGone) {
        platform::DebugOutput("[QXFW]PsNotifier: the network event is gone");
        network_.reset();
      }
      host_.PostPoll();
      timeoutMs = kBusyTimeoutMs;
    } else if (ready == imageIndex) {
      bool gone = false;
      images_->ConsumeAll(&gone);
      if (gone) {
        platform::DebugOutput("[QXFW]PsNotifier: the image-load event is gone");
        images_.reset();
      }
      DrainImageLoads();
      timeoutMs = kBusyTimeoutMs;
    } else {
      if (stop_.Wait(1) == platform::WaitResult::kSignalled) break;  // a broken wait
    }
  }
  platform::DebugOutput("[QXFW]PsNotifier:Stoping...");
}

}  // namespace qxfw::firewall
