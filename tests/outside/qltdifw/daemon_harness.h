// Test harness for the filter daemon: two network namespaces joined by a veth pair (A holds the
// programs that connect, B a server), the daemon filtering A, and a program double that speaks
// the device protocol. Every name carries the test's pid; everything is removed on destruction,
// also when a test fails. Needs root.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "firewall/device_client.h"
#include "firewall/device_protocol.h"

namespace qltdifw::test {

// Runs a shell command; true on exit status 0.
bool Shell(const std::string& command);

class NetnsPair {
 public:
  NetnsPair();
  ~NetnsPair();
  bool Ok() const { return ok_; }
  std::string a, b;  // namespace names
  static constexpr const char* kAddressA = "10.77.0.1";
  static constexpr const char* kAddressB = "10.77.0.2";

 private:
  bool ok_ = false;
};

// Runs fn in a forked child inside namespace ns; returns the child's pid. The child's exit
// status is fn's result. The child closes every inherited descriptor above 2 except keep, so it
// does not hold the test's device connection open.
pid_t ForkIn(const std::string& ns, std::function<int()> fn, std::vector<int> keep = {});
// Waits for a child; returns its exit status, or -1 when it did not end normally.
int WaitChild(pid_t pid);

// In namespace B: a TCP listener that accepts and closes and a UDP echo on kPort, and a TCP
// listener on kKeepOpenPort that keeps its connections open.
class Server {
 public:
  explicit Server(const std::string& ns);
  ~Server();
  static constexpr uint16_t kPort = 8080;
  static constexpr uint16_t kKeepOpenPort = 8081;

 private:
  pid_t pid_ = -1;
};

// Connects from the calling process to B's server; returns 0 on success or errno. *elapsedMs
// is how long the connect took.
int ConnectTcp(const char* address, uint16_t port, int timeoutMs, double* elapsedMs = nullptr);

class Daemon {
 public:
  Daemon(const NetnsPair& pair, std::vector<std::string> extraArgs = {});
  ~Daemon();
  bool Ok() const { return ok_; }
  void Stop();  // SIGTERM and wait
  // What the daemon wrote to its stderr (its log lines, --foreground) so far.
  std::string Log() const;
  // The daemon's resident memory, or -1.
  long RssKilobytes() const;
  std::string socketPath;
  std::string runtimeDir;
  std::string logPath;
  pid_t pid = -1;
  uint16_t queue;

 private:
  bool ok_ = false;
};

// The program double: a client on the device that fetches requests and answers them.
class ProgramDouble {
 public:
  // decide returns kVerdictAllow, kVerdictBlock, or -1 to leave the request unanswered.
  using Decide = std::function<int(const qxfw::firewall::CNETWORK_REQUEST&)>;
  explicit ProgramDouble(const std::string& socketPath);
  ~ProgramDouble();
  uint32_t OpenStatus() const { return openStatus_; }
  void Start(Decide decide);
  void StopAndClose();
  std::vector<qxfw::firewall::CNETWORK_REQUEST> Seen();
  size_t SeenCount();
  qxfw::firewall::DeviceClient& Client() { return client_; }

 private:
  std::string folder_;  // the daemon's runtime folder, where its events are
  qxfw::firewall::DeviceClient client_;
  uint32_t openStatus_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<qxfw::firewall::CNETWORK_REQUEST> seen_;
};

}  // namespace qltdifw::test
