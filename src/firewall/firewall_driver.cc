#include "firewall/firewall_driver.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include "firewall/driver_host.h"
#include "firewall/security_level.h"
#include "platform/debug_output.h"
#include "platform/folders.h"
#include "shell/command_runner.h"
#include "store/db_manager.h"

namespace qxfw::firewall {
namespace {

constexpr char kSetupFile[] = "qxfwsetup";

std::mutex g_sinkMutex;
CFirewallDriver::MessageSink g_messageSink;

void ShowMessage(const std::string& text, const std::string& caption) {
  CFirewallDriver::MessageSink sink;
  {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    sink = g_messageSink;
  }
  if (sink) {
    sink(text, caption);
  } else {
    std::cerr << caption << ": " << text << std::endl;
  }
}

}  // namespace

RequestFacts FactsOf(const CNETWORK_REQUEST& request) {
  RequestFacts facts;
  facts.processId = request.processId;
  facts.protocol = request.protocol;
  facts.remoteAddress = ntohl(request.remoteAddress);
  facts.remotePort = ntohs(request.remotePort);
  return facts;
}

CFirewallDriver::CFirewallDriver(store::CDBManager& store, Options options)
    : store_(store),
      options_(std::move(options)),
      decision_(
          store_,
          options_.isSigned
              ? options_.isSigned
              : [](const RequestProgram& program) { return monitor::IsSigned(program.executable); },
          options_.level != nullptr ? *options_.level : g_SecurityLevel) {
  if (!options_.resolve) options_.resolve = RequestProgramOf;
  if (options_.trustedPaths == nullptr) options_.trustedPaths = &CTrustedPathList::Instance();
  if (options_.ownProcessId == 0) options_.ownProcessId = static_cast<uint32_t>(getpid());
}

CFirewallDriver::~CFirewallDriver() {
  notifier_.reset();
  device_.reset();
}

CFirewallDriver& CFirewallDriver::GetInstance() {
  static CFirewallDriver driver(store::CDBManager::GetInstance(), [] {
    Options options;
    options.openDevice = []() -> std::unique_ptr<CDevice> {
      return CDeviceSocket::Open(DeviceSocketPath());
    };
    options.launchSetup = LaunchSetup;
    options.makeNotifier = [](CDevice& device, CDriverHost& host) {
      return CPsNotifier::Open(device, host);
    };
    return options;
  }());
  return driver;
}

void CFirewallDriver::Init(CDriverHost* host, const std::vector<TrustedProgram>& trustedPrograms) {
  host_ = host;
  platform::DebugOutput("[QXFW.exe] CFirewallDriver::Init");
  RegisterTrustedPrograms(store_, trustedPrograms);
  if (options_.openDevice) device_ = options_.openDevice();
  if (!device_ && options_.launchSetup) {
    platform::DebugOutput("[QXFW.exe] CFirewallDriver::Init LaunchSetup(/StartDriver)");
    options_.launchSetup("/StartDriver");
    if (options_.openDevice) device_ = options_.openDevice();
  }
  if (device_ && host_ != nullptr && options_.makeNotifier) {
    notifier_ = options_.makeNotifier(*device_, *host_);
  }
  // From here on each verdict takes the next fetch ahead along (in the form either record
  // fits), so a request decided by the rules costs the poll no round trip to the daemon.
  if (device_) device_->PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST_ALIGNED));
  if (host_ != nullptr) host_->SetPollTimer(PollPeriodMs());
}

void CFirewallDriver::Notify(const CNETWORK_REQUEST& request, const RequestProgram& program,
                             const DecisionResult& result) {
  if (observer_) observer_(request, program, result);
}

int CFirewallDriver::FetchAndDecide(CNETWORK_REQUEST* request) {
  std::memset(request, 0, sizeof(*request));
  if (!device_) return 0;
  uint32_t got = 0;
  uint32_t status = device_->Call(IOCTL_GET_NETWORK_REQUEST, request, sizeof(*request), request,
                                  sizeof(*request), &got);
  if (status != kStatusSuccess && (status == ERROR_NO_DATA || got == 0)) return 0;
  if (status == kStatusSuccess && got == 0) {
    CNETWORK_REQUEST_ALIGNED aligned{};
    if (device_->Call(IOCTL_GET_NETWORK_REQUEST, &aligned, sizeof(aligned), &aligned,
                      sizeof(aligned), &got) != kStatusSuccess ||
        got != sizeof(aligned)) {
      return 0;
    }
    *request = AlignedToRequest(aligned);
  } else if (got != sizeof(*request)) {
    // A cut record would be decided on zeros; take it as no request.
    platform::DebugOutput("[QXFW.exe] CFirewallDriver::FetchAndDecide: request of %u bytes", got);
    return 0;
  }

  DecisionResult result;
  if (request->processId == options_.ownProcessId) {
    result.decision = kDecisionAllow;
    result.decidedBy = DecidedBy::kOwnProgram;
    SendVerdict(*request, 1);
    Notify(*request, RequestProgram{}, result);
    return 0;
  }
  RequestProgram program = options_.resolve(request->processId);
  result = decision_.Decide(FactsOf(*request), program);
  if (result.decision == kDecisionUndecided && result.level == kLevelLow &&
      options_.trustedPaths->Contains(program.path)) {
    result.decision = kDecisionAllow;
    result.decidedBy = DecidedBy::kTrustedPath;
  }
  if (result.decision != kDecisionUndecided) {
    SendVerdict(*request, result.decision == kDecisionAllow ? 1 : 0);
    Notify(*request, program, result);
    return 0;
  }
  Notify(*request, program, result);
  return 1;
}

int CFirewallDriver::SendVerdict(const CNETWORK_REQUEST& request, uint32_t verdict) {
  if (!device_) return 1;
  tagVERDICT record{request.requestHandle, verdict};
  // The status is not used, so its answer is not awaited: the next call reads it.
  device_->Post(IOCTL_SET_VERDICT, &record, sizeof(record));
  return 1;
}

void CFirewallDriver::Release() {
  if (released_) return;
  released_ = true;
  // The notifier uses the device: it ends first.
  notifier_.reset();
  if (device_) {
    uint8_t buffer[4] = {};
    uint32_t got = 0;
    device_->Call(IOCTL_RELEASE, buffer, sizeof(buffer), buffer, sizeof(buffer), &got);
    device_.reset();
  }
  if (host_ != nullptr) host_->KillPollTimer();
}

void CFirewallDriver::SetMessageSink(MessageSink sink) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_messageSink = std::move(sink);
}

std::vector<std::string> CFirewallDriver::SetupCommand(const std::string& parameters) {
  std::vector<std::string> args;
  if (geteuid() != 0) args.push_back("pkexec");
  args.push_back(platform::SystemFolder() + "/" + kSetupFile);
  args.push_back(parameters);
  return args;
}

int CFirewallDriver::RunSetup(const std::string& parameters,
                              const std::function<int(const std::vector<std::string>&)>& runner) {
  std::string path = platform::SystemFolder() + "/" + kSetupFile;
  // pkexec would start even for a missing installer; the missing file is the error to show.
  if (access(path.c_str(), X_OK) != 0) return errno;
  return runner(SetupCommand(parameters));
}

std::string CFirewallDriver::SetupErrorText(int error) {
  char text[256];
  std::snprintf(text, sizeof(text),
                "Error while starting Talvoran firewall Driver Installer\n\nError Code:%ld",
                static_cast<long>(error));
  return text;
}

bool CFirewallDriver::LaunchSetup(const std::string& parameters) {
  int error = RunSetup(parameters, shell::RunCommandAndWait);
  if (error != 0) {
    ShowMessage(SetupErrorText(error), "Error");
    return false;
  }
  return true;
}

bool CFirewallDriver::Attach(std::unique_ptr<CDevice> device) {
  if (device == nullptr || device_ != nullptr || released_) return false;
  platform::DebugOutput("[QXFW.exe] CFirewallDriver::Attach: the filter device is open");
  device_ = std::move(device);
  if (host_ != nullptr && options_.makeNotifier)
    notifier_ = options_.makeNotifier(*device_, *host_);
  device_->PrefetchNetworkRequest(sizeof(CNETWORK_REQUEST_ALIGNED));
  if (host_ != nullptr) host_->SetPollTimer(PollPeriodMs());
  return true;
}

bool CFirewallDriver::DropLostDevice() {
  if (!DeviceLost()) return false;
  platform::DebugOutput("[QXFW.exe] CFirewallDriver: the filter device is gone");
  notifier_.reset();
  device_.reset();
  return true;
}

}  // namespace qxfw::firewall
