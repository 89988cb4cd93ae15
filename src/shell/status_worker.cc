#include "shell/status_worker.h"

#include "firewall/device.h"

namespace qxfw::shell {

CStatusWorker::CStatusWorker(Options options, Sink sink)
    : options_(std::move(options)), sink_(std::move(sink)) {
  thread_ = std::thread([this] { Run(); });
}

CStatusWorker::~CStatusWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CStatusWorker::SetProbe(bool wanted) {
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    start = wanted && !probe_;
    probe_ = wanted;
    // A probe asked for anew is answered even when its status is the old one.
    if (start) woken_ = true;
  }
  if (start) wake_.notify_all();
}

void CStatusWorker::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

void CStatusWorker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    RunRound();
    lock.lock();
    wake_.wait_for(lock, options_.period, [this] { return stop_ || woken_; });
    woken_ = false;
  }
}

void CStatusWorker::RunRound() {
  auto round = std::make_shared<Round>();
  round->antivirus = GatherAntiVirusFacts(options_.antivirusFolder);
  round->lastScan = ReadLastScan(options_.lastScanPath);
  bool probe;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    probe = probe_ && options_.open;
  }
  if (probe) {
    round->probed = true;
    round->openStatus = 0;
    round->device = options_.open(&round->openStatus);
    if (round->device != nullptr) round->openStatus = 0;
  } else {
    lastOpenStatus_.reset();
  }
  const bool changed = !reported_ || round->antivirus != lastAntivirus_ ||
                       round->lastScan != lastScan_ || round->device != nullptr ||
                       (round->probed && lastOpenStatus_ != round->openStatus);
  if (!changed) return;
  reported_ = true;
  lastAntivirus_ = round->antivirus;
  lastScan_ = round->lastScan;
  if (round->probed)
    lastOpenStatus_ = round->device != nullptr ? std::nullopt : std::optional(round->openStatus);
  if (sink_) sink_(std::move(round));
}

}  // namespace qxfw::shell
