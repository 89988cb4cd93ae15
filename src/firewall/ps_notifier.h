// CPsNotifier: the worker thread that waits on the filter's two events.
//
// A network signal (one per held request) makes it post a poll to the user-interface thread,
// so a request never waits for the next timer tick. An image-load signal makes it drain the
// device's image-load records into the image cache and post the image message for each newly
// loaded program. Without signals it wakes every 5 s to post a poll and drain images; with
// neither event present it posts a poll every 50 ms.
//
// A host that runs its poll on its own event loop (the headless host) may wait on the network
// event itself, which saves a thread hop per request: the notifier then only drains images and
// keeps its 5 s safety poll.
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
  // Who waits on the network event.
  enum class NetworkWaiter {
    kNotifier,  // this thread: one PostPoll per signal
    kHost,      // the host's own loop; the notifier never sees the event
  };
  // Either event may be null (the filter has not created it). images must outlive the notifier.
  // With NetworkWaiter::kHost networkEvent must be null: the host holds it.
  CPsNotifier(CDevice& device, CDriverHost& host,
              std::unique_ptr<platform::NamedEventHandle> networkEvent,
              std::unique_ptr<platform::NamedEventHandle> imageEvent, monitor::CImageCacher& images,
              NetworkWaiter waiter = NetworkWaiter::kNotifier);
  // Opens the filter's events by name (system scope).
  static std::unique_ptr<CPsNotifier> Open(CDevice& device, CDriverHost& host);
  // The same, but hands the network event to the host (*networkEvent, null when the filter has
  // not created it), whose loop waits on it and runs one poll per signal.
  static std::unique_ptr<CPsNotifier> OpenWithHostNetworkWait(
      CDevice& device, CDriverHost& host,
      std::unique_ptr<platform::NamedEventHandle>* networkEvent);
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
  NetworkWaiter waiter_;
  platform::Event stop_{platform::Event::Mode::kManualReset};
  std::string lastPath_;
  std::thread thread_;
};

}  // namespace qxfw::firewall
