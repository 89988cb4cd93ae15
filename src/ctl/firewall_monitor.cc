#include "ctl/firewall_monitor.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "ctl/ctl_support.h"
#include "ctl/json_writer.h"
#include "firewall/device.h"
#include "firewall/driver_host.h"
#include "firewall/firewall_driver.h"
#include "firewall/request_poller.h"
#include "firewall/security_level.h"
#include "monitor/image_cacher.h"
#include "platform/address_text.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/named_event.h"
#include "platform/spin_wait.h"
#include "store/db_manager.h"

namespace qxfw::ctl {
namespace {

// How long the loop looks for the next request after an answer. A program connecting again
// at once asks within about 150 us here (the daemon lets the connection through, the program
// wakes, connects again).
constexpr std::chrono::microseconds kNextRequestSpin{250};

using firewall::CNETWORK_REQUEST;
using firewall::DecidedBy;
using firewall::DecisionResult;
using firewall::RequestProgram;

constexpr char kHelp[] = R"(
Firewall (needs the filter daemon qltdifw; refused while the firewall program holds the device):
  monitor [--undecided allow|block|hold] [--json]
                                       decide every new outgoing connection from the rules and
                                       the level, answer undecided ones as told (default hold:
                                       left to the daemon's time-out) and print one line each;
                                       Ctrl-C or SIGTERM ends it. The device is
                                       $QXFW_RUNTIME_DIR/qltdifw.sock (default /run/qxfw).
)";

std::string NowText() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

const char* ProtocolText(uint8_t protocol) {
  return protocol == firewall::kProtocolTcp   ? "TCP"
         : protocol == firewall::kProtocolUdp ? "UDP"
                                              : "?";
}

const char* TypeText(uint8_t type) {
  return type == firewall::kRequestTcpConnect ? "connect"
         : type == firewall::kRequestUdpSend  ? "send"
                                              : "unknown";
}

std::string RulePath(const store::tagFIREWALL_PROGRAM& rule) {
  return std::string(rule.path, strnlen(rule.path, sizeof(rule.path)));
}

std::string PortIpText(const store::tagFIREWALL_PORTIP& rule) {
  std::ostringstream text;
  text << (rule.action == 0 ? "block " : "allow ") << rule.beginPort << "-" << rule.endPort << " "
       << platform::HostAddressText(rule.beginIp) << "-" << platform::HostAddressText(rule.endIp)
       << " proto " << rule.protocol;
  return text.str();
}

// What decided, in words: the rule, the policy entry, the IP/port rule, the level, the
// signature.
std::string ReasonText(const DecisionResult& r) {
  std::ostringstream text;
  text << firewall::DecidedByText(r.decidedBy);
  switch (r.decidedBy) {
    case DecidedBy::kProgramRule:
      text << " " << RulePath(r.programRule);
      break;
    case DecidedBy::kPolicyEntry:
      text << " " << r.policyEntry << " of " << RulePath(r.programRule);
      break;
    case DecidedBy::kPortIpRule:
      text << " " << PortIpText(r.portIpRule);
      break;
    case DecidedBy::kSignature:
    case DecidedBy::kLevel:
      text << " " << r.level << (r.signatureChecked ? (r.isSigned ? " signed" : " unsigned") : "");
      break;
    default:
      break;
  }
  return text.str();
}

// The host: polls posted by the notifier wake the loop, one tick per post.
class HeadlessHost : public firewall::CDriverHost {
 public:
  void SetPollTimer(int periodMs) override { period_ = periodMs; }
  void KillPollTimer() override { period_ = 0; }
  void PostPoll() override { polls_.Set(); }
  // The antivirus scan of a newly loaded program belongs to the program; here the image only
  // stays in the cache.
  void PostImageLoaded(uint32_t) override {}
  int Period() const { return period_; }
  platform::Event& Polls() { return polls_; }

 private:
  int period_ = 0;
  platform::Event polls_{platform::Event::Mode::kCounting};
};

// Blocks SIGINT and SIGTERM for the process and reads them from a descriptor instead, so the
// loop ends between two ticks and the device is released on the way out.
class SignalReader {
 public:
  SignalReader() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigprocmask(SIG_BLOCK, &set_, &old_);
    fd_ = platform::UniqueFd(signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
  }
  ~SignalReader() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  int Fd() const { return fd_.Get(); }
  // Takes the waiting signal, so it is not delivered when the mask is restored.
  void Take() {
    signalfd_siginfo info;
    while (read(fd_.Get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    }
  }

 private:
  sigset_t set_{};
  sigset_t old_{};
  platform::UniqueFd fd_;
};

}  // namespace

std::string MonitorLine(const CNETWORK_REQUEST& request, const RequestProgram& program,
                        const DecisionResult& result, const std::string& verdict, bool json) {
  std::string local = platform::HostAddressText(ntohl(request.localAddress));
  std::string remote = platform::HostAddressText(ntohl(request.remoteAddress));
  std::string path =
      program.path.empty() ? (program.name.empty() ? "n/a" : program.name) : program.path;
  if (json) {
    JsonWriter w;
    w.BeginObject()
        .Field("time", NowText())
        .Field("pid", static_cast<int64_t>(request.processId))
        .Field("path", path)
        .Field("pathConfirmed", !program.path.empty())
        .Field("protocol", ProtocolText(request.protocol))
        .Field("requestType", TypeText(request.requestType))
        .Field("localAddress", local)
        .Field("localPort", static_cast<int64_t>(ntohs(request.localPort)))
        .Field("remoteAddress", remote)
        .Field("remotePort", static_cast<int64_t>(ntohs(request.remotePort)))
        .Field("verdict", verdict)
        .Field("decidedBy", firewall::DecidedByText(result.decidedBy))
        .Field("reason", ReasonText(result));
    if (result.programRuleMatched) w.Field("programRule", RulePath(result.programRule));
    if (result.policyEntry >= 0) w.Field("policyEntry", static_cast<int64_t>(result.policyEntry));
    if (result.portIpRuleMatched) w.Field("portIpRule", PortIpText(result.portIpRule));
    if (result.level != 0) w.Field("level", static_cast<int64_t>(result.level));
    if (result.signatureChecked) w.Field("signed", result.isSigned);
    w.EndObject();
    return w.Text();
  }
  std::ostringstream line;
  line << NowText() << " pid " << request.processId << " " << TerminalText(path) << " "
       << ProtocolText(request.protocol) << " " << TypeText(request.requestType) << " " << local
       << ":" << ntohs(request.localPort) << " -> " << remote << ":" << ntohs(request.remotePort)
       << " " << verdict << " (" << TerminalText(ReasonText(result)) << ")";
  return line.str();
}

int RunFirewallMonitor(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {"--undecided"}, {"--json"});
  args.Expect(0, 0, "monitor [--undecided allow|block|hold] [--json]");
  UndecidedAnswer answer = UndecidedAnswer::kHold;
  if (auto value = args.Value("--undecided")) {
    if (*value == "allow") {
      answer = UndecidedAnswer::kAllow;
    } else if (*value == "block") {
      answer = UndecidedAnswer::kBlock;
    } else if (*value != "hold") {
      throw UsageError("--undecided takes allow, block or hold");
    }
  }
  bool json = args.Flag("--json");
  // Before any thread starts, so that every thread leaves the two signals to the loop.
  SignalReader signals;

  store::CDBManager store(platform::FirewallDataFolder());
  if (!store.IsRuleFileOpen()) {
    throw CommandFailed(store.RuleFileOpenError() == EWOULDBLOCK
                            ? "the rule data file is held by the firewall program"
                            : "cannot open the rule data file " + store.RuleFilePath());
  }
  if (store.Damage().Any()) {
    // Repaired on open; the monitor goes on with what could be read, and says so.
    std::cerr << "qxfwctl: "
              << TerminalText(store::DescribeDamage(store.Damage(), platform::FirewallDataFolder()))
              << "\n";
  }
  firewall::g_SecurityLevel = firewall::LoadSecurityLevel(store);

  std::string devicePath = firewall::DeviceSocketPath();
  uint32_t status = 0;
  std::unique_ptr<firewall::CDeviceSocket> opened =
      firewall::CDeviceSocket::Open(devicePath, &status);
  if (!opened) {
    throw CommandFailed("cannot open the filter device " + devicePath + ": " +
                        firewall::DeviceOpenErrorText(status));
  }

  // The driver owns the device from Init to Release; the loop below only asks it ahead for
  // requests in between.
  firewall::CDeviceSocket* socket = opened.get();
  std::unique_ptr<firewall::CDevice> device = std::move(opened);

  HeadlessHost host;
  firewall::CFirewallDriver::Options options;
  options.openDevice = [&device]() { return std::move(device); };
  // The loop below waits on the network event itself: one thread hop fewer per request than
  // a post from the notifier thread.
  std::unique_ptr<platform::NamedEventHandle> network;
  options.makeNotifier = [&network](firewall::CDevice& d, firewall::CDriverHost& h) {
    return firewall::CPsNotifier::OpenWithHostNetworkWait(d, h, &network);
  };
  firewall::CFirewallDriver driver(store, std::move(options));

  auto print = [&](const CNETWORK_REQUEST& r, const RequestProgram& p, const DecisionResult& d,
                   const std::string& verdict) {
    out << MonitorLine(r, p, d, verdict, json) << std::endl;  // flushed at once
  };
  RequestProgram lastProgram;
  DecisionResult lastResult;
  driver.SetDecisionObserver(
      [&](const CNETWORK_REQUEST& r, const RequestProgram& p, const DecisionResult& d) {
        if (d.decision == firewall::kDecisionUndecided) {
          lastProgram = p;
          lastResult = d;
          return;
        }
        print(r, p, d, d.decision == firewall::kDecisionAllow ? "allow" : "block");
      });

  firewall::CPendingRequests pending;
  bool promptOpened = false;
  firewall::CRequestPoller poller(driver, pending,
                                  [&](const CNETWORK_REQUEST&) { promptOpened = true; });
  // The "prompt" of the headless host: the answer given on the command line, for every
  // pending request of the process, or none (the request stays pending).
  auto onUndecided = [&](const CNETWORK_REQUEST& request) {
    if (answer == UndecidedAnswer::kHold) {
      size_t count = 0;
      for (auto it = pending.FindProcess(request.processId); it != pending.End();
           it = pending.FindProcess(request.processId, it)) {
        ++count;
      }
      print(request, lastProgram, lastResult,
            promptOpened ? "pending" : "pending (joins " + std::to_string(count - 1) + ")");
      return;
    }
    uint32_t verdict = answer == UndecidedAnswer::kAllow ? 1 : 0;
    auto it = pending.FindProcess(request.processId);
    while (it != pending.End()) {
      driver.SendVerdict(*it, verdict);
      auto next = pending.FindProcess(request.processId, it);
      pending.Remove(it);
      it = next;
    }
    print(request, lastProgram, lastResult, verdict == 1 ? "allow" : "block");
  };

  driver.Init(&host, {});
  std::cerr << "qxfwctl: monitoring " << devicePath << " (level " << firewall::g_SecurityLevel
            << ", undecided "
            << (answer == UndecidedAnswer::kAllow   ? "allow"
                : answer == UndecidedAnswer::kBlock ? "block"
                                                    : "hold")
            << ")" << std::endl;
  // Requests that come back to back (a program opening connection after connection) are met
  // awake: after answering, the loop looks for the next request a while before it sleeps,
  // as long as the last one came that soon after an answer.
  platform::SpinGate nextRequestSpin(kNextRequestSpin);
  std::chrono::steady_clock::time_point answered{};
  const int period = host.Period() > 0 ? host.Period() : 100;
  auto nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(period);
  auto tick = [&] {
    promptOpened = false;
    if (poller.OnPollTimer()) onUndecided(pending.Entries().back());
  };
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    int waitMs = 0;
    if (nextTick > now) {
      waitMs = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count() + 1);
    }
    // While the loop sleeps on the network event the daemon already holds a fetch for the
    // next request, so the tick that the event brings finds it here without a round trip.
    if (network) socket->PrefetchNetworkRequest(sizeof(firewall::CNETWORK_REQUEST_ALIGNED));
    int fds[3] = {signals.Fd(), host.Polls().Fd(), network ? network->Fd() : -1};
    size_t count = network ? 3 : 2;
    int ready = platform::kWaitTimeout;
    auto spinUntil = nextRequestSpin.Until(answered);
    if (network && spinUntil > std::chrono::steady_clock::now()) {
      ready = platform::SpinForAny(fds, count, spinUntil);
    }
    if (ready == platform::kWaitTimeout) ready = platform::WaitForAny(fds, count, waitMs);
    if (ready == 0) {
      signals.Take();
      break;
    }
    if (ready == 1) {
      host.Polls().Consume();
      tick();
    } else if (ready == 2) {
      // One tick per signal, as the notifier would post them.
      bool gone = false;
      size_t signals = network->ConsumeAll(&gone);
      if (signals > 0) nextRequestSpin.Record(answered, std::chrono::steady_clock::now());
      for (size_t n = signals; n > 0; --n) tick();
      if (signals > 0) answered = std::chrono::steady_clock::now();
      if (gone) network.reset();  // the timer alone polls from now on
    } else if (ready == platform::kWaitTimeout) {
      nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(period);
      tick();
    } else if (ready == platform::kWaitFailed && errno != EINTR) {
      break;
    }
    if (driver.DeviceLost()) {
      driver.Release();
      throw CommandFailed("the filter device " + devicePath + " went away");
    }
  }
  driver.Release();
  return 0;
}

const char* FirewallMonitorHelp() {
  return kHelp;
}

}  // namespace qxfw::ctl
