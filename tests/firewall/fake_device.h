// A stand-in for the filter daemon's device socket: a thread that accepts one client on a Unix
// socket in a temporary folder, greets it, decodes each call frame and answers from a script.
// Calls are recorded for the test to inspect.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "firewall/device_frame.h"
#include "firewall/device_protocol.h"
#include "platform/file.h"
#include "test_support/temp_dir.h"

namespace qxfw::firewall::testing {

class FakeDevice {
 public:
  // Answers a call; the default answers ERROR_NO_DATA to fetches and 0 to everything else.
  using Answer = std::function<DeviceReply(const DeviceCall& call)>;

  FakeDevice() : FakeDevice(std::string()) {}
  // The socket in folder (a temporary folder of its own when empty).
  explicit FakeDevice(const std::string& folder)
      : path_((folder.empty() ? dir_.path() : folder) + "/qltdifw.sock") {
    listener_ = platform::UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(bind(listener_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(listener_.Get(), 4), 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeDevice() {
    shutdown(listener_.Get(), SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    }
    thread_.join();
  }

  const std::string& path() const { return path_; }

  // Ends the client's connection, as a daemon that stops would.
  void Disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (client_ >= 0) shutdown(client_, SHUT_RDWR);
  }

  // Queues the answer to the next fetch of a network request.
  void QueueRequest(const CNETWORK_REQUEST& request) {
    QueueOutput(IOCTL_GET_NETWORK_REQUEST, &request, sizeof(request));
  }
  // delayMs holds that answer (and so every later one) back, as a daemon that answers a fetch
  // ahead only when a request comes.
  void QueueOutput(uint32_t code, const void* data, size_t size, uint32_t status = 0,
                   int delayMs = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    Scripted scripted;
    scripted.reply.status = status;
    scripted.reply.output.assign(static_cast<const uint8_t*>(data),
                                 static_cast<const uint8_t*>(data) + size);
    scripted.delayMs = delayMs;
    queued_.push_back({code, scripted});
  }

  std::vector<DeviceCall> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<tagVERDICT> Verdicts() {
    std::vector<tagVERDICT> verdicts;
    for (const auto& call : Calls()) {
      if (call.controlCode != IOCTL_SET_VERDICT || call.input.size() != sizeof(tagVERDICT))
        continue;
      tagVERDICT v;
      std::memcpy(&v, call.input.data(), sizeof(v));
      verdicts.push_back(v);
    }
    return verdicts;
  }
  // The verdicts once at least count have come (a verdict is posted, its answer not awaited),
  // or those that came within two seconds.
  std::vector<tagVERDICT> VerdictsWhen(size_t count) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::vector<tagVERDICT> verdicts = Verdicts();
    while (verdicts.size() < count && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      verdicts = Verdicts();
    }
    return verdicts;
  }
  // Waits until `count` calls of `code` have come, then a moment for their answers.
  void AwaitCalls(uint32_t code, size_t count) {
    for (int i = 0; i < 2000 && CallsOf(code) < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Which of the device's reads brought call `index` (counted from 1).
  size_t ReadOf(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < reads_.size() ? reads_[index] : 0;
  }
  size_t CallsOf(uint32_t code) {
    size_t n = 0;
    for (const auto& call : Calls()) n += call.controlCode == code;
    return n;
  }

 private:
  struct Scripted {
    DeviceReply reply;
    int delayMs = 0;
  };

  DeviceReply AnswerFor(const DeviceCall& call, int* delayMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    reads_.push_back(currentRead_);
    *delayMs = 0;
    for (auto it = queued_.begin(); it != queued_.end(); ++it) {
      if (it->first != call.controlCode) continue;
      DeviceReply reply = it->second.reply;
      *delayMs = it->second.delayMs;
      queued_.erase(it);
      if (reply.output.size() > call.outputSize) reply.output.resize(call.outputSize);
      return reply;
    }
    DeviceReply reply;
    if (call.controlCode == IOCTL_GET_NETWORK_REQUEST || call.controlCode == IOCTL_GET_IMAGE_LOAD ||
        call.controlCode == IOCTL_WAIT_NETWORK_REQUEST) {
      reply.status = ERROR_NO_DATA;
    }
    return reply;
  }

  void Serve() {
    int fd = accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    platform::UniqueFd client(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      client_ = fd;
    }
    std::vector<uint8_t> out;
    EncodeReply(0, nullptr, 0, &out);
    Send(fd, out);
    std::vector<uint8_t> in;
    uint8_t chunk[4096];
    for (;;) {
      ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      ++currentRead_;  // only this thread writes it
      in.insert(in.end(), chunk, chunk + n);
      for (;;) {
        DeviceCall call;
        long used = DecodeCall(in.data(), in.size(), &call);
        if (used == kNeedMore) break;
        if (used == kMalformed) return;
        in.erase(in.begin(), in.begin() + used);
        int delayMs = 0;
        DeviceReply reply = AnswerFor(call, &delayMs);
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        out.clear();
        EncodeReply(reply.status, reply.output.data(), static_cast<uint32_t>(reply.output.size()),
                    &out);
        Send(fd, out);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    client_ = -1;
  }
  static void Send(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  test_support::TempDir dir_;
  std::string path_;
  platform::UniqueFd listener_;
  std::mutex mutex_;
  int client_ = -1;
  std::deque<std::pair<uint32_t, Scripted>> queued_;
  std::vector<DeviceCall> calls_;
  std::vector<size_t> reads_;  // of each call
  size_t currentRead_ = 0;
  std::thread thread_;
};

}  // namespace qxfw::firewall::testing
