// CPsNotifier: the worker thread that waits on the filter's two events.
//
// A network signal (one per held request) makes it post a poll to the user-interface thread,
// so a request never waits for the next timer tick. An image-load signal makes it drain the
// device's image-load records into the image cache and post the image message for each newly
// loaded program. Without signals it wakes every 5 s to post a poll and drain images; with
// neither event present it posts a poll every 50 ms.
//
// Created by the driver channel when the device is open; the destructor stops the thread
// (waiting at most 500 ms, then for good, since the thread uses the device). The thread touches
// only its buffers, the device, the image cache and the host's post functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/named_event.h"

namespace qxfw::monitor {
class CImageCacher;
}

namespace qxfw::firewall {

class CDevice;
class CDriverHost;

class CPsNotifier {
 public:
  // Either event may be null (the filter has not created it). images must outlive the notifier.
  CPsNotifier(CDevice& device, CDriverHost& host,
              std::unique_ptr<platform::NamedEventHandle> networkEvent,
              std::unique_ptr<platform::NamedEventHandle> imageEvent,
              monitor::CImageCacher& images);
  // Opens the filter's events by name (system scope).
  static std::unique_ptr<CPsNotifier> Open(CDevice& device, CDriverHost& host);
  ~CPsNotifier();
  CPsNotifier(const CPsNotifier&) = delete;
  CPsNotifier& operator=(const CPsNotifier&) = delete;

  // Signals the thread to end and waits for it.
  void Stop();

  // One drain of the device's image-load records (the thread's step, public for tests);
  // returns the number of images recorded.
  int DrainImageLoads();

 private:
  void Run();

  CDevice& device_;
  CDriverHost& host_;
  std::unique_ptr<platform::NamedEventHandle> network_;
  std::unique_ptr<platform::NamedEventHandle> images_;
  monitor::CImageCacher& cache_;
  platform::Event stop_{platform::Event::Mode::kManualReset};
  std::string lastPath_;
  std::thread thread_;
};

}  // namespace qxfw::firewall
