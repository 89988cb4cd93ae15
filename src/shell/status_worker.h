// CStatusWorker: the thread that learns, for the home page and the tray icon, what takes files
// or the filter daemon to learn: the antivirus folder's facts and the last scan record in every
// round, and, while the program has no filter device, an attempt to open it.
//
// Rounds run every period and at once after Wake. A round whose findings differ from the last
// one handed on, or that opened the device, goes to the sink on this thread; the sink only
// queues it for the user-interface thread, which owns what it is given (the device included).
// The destructor stops and joins the thread: a round in progress ends first, and an open waits
// at most the device's answer time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "shell/antivirus_facts.h"
#include "shell/last_scan.h"

namespace qxfw::firewall {
class CDevice;
}

namespace qxfw::shell {

class CStatusWorker {
 public:
  struct Round {
    AntiVirusFacts antivirus;
    std::optional<LastScanRecord> lastScan;
    bool probed = false;      // an open of the device was tried in this round
    uint32_t openStatus = 0;  // its status: 0 opened, else why not (device_protocol.h)
    std::unique_ptr<firewall::CDevice> device;  // the device it opened
  };
  using Sink = std::function<void(std::shared_ptr<Round> round)>;
  // Opens the filter device; null with *status set when it cannot.
  using DeviceOpener = std::function<std::unique_ptr<firewall::CDevice>(uint32_t* status)>;

  struct Options {
    std::string antivirusFolder;
    std::string lastScanPath;
    DeviceOpener open;  // null: the device is never tried
    std::chrono::milliseconds period{500};
  };

  CStatusWorker(Options options, Sink sink);
  ~CStatusWorker();
  CStatusWorker(const CStatusWorker&) = delete;
  CStatusWorker& operator=(const CStatusWorker&) = delete;

  // Whether rounds try to open the device (the program has none). Any thread.
  void SetProbe(bool wanted);
  // Runs a round now. Any thread.
  void Wake();

 private:
  void Run();
  void RunRound();

  Options options_;
  Sink sink_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool woken_ = false;
  bool probe_ = false;
  // The last findings handed on (worker thread only).
  bool reported_ = false;
  AntiVirusFacts lastAntivirus_;
  std::optional<LastScanRecord> lastScan_;
  std::optional<uint32_t> lastOpenStatus_;
  std::thread thread_;
};

}  // namespace qxfw::shell
