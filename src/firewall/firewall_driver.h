// CFirewallDriver: the program's side of the filter device.
//
// Init opens the device (through the installer once when it is missing), registers the trusted
// programs, starts the notifier and the poll timer. FetchAndDecide takes one held request,
// decides it and answers the device unless the user must be asked; SendVerdict answers a
// request; Release gives the device up at shutdown.
//
// States: closed -> open (device, notifier, timer) or degraded (no device, timer only; every
// fetch finds nothing) -> released. Init itself opens once; a device that is opened later (the
// daemon started after the program, or came back after it stopped) is taken with Attach, and a
// device whose daemon went away is let go with DropLostDevice, back to degraded.
//
// Everything but the notifier's image fetches runs on the user-interface thread; the device
// serialises the calls of both threads.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firewall/access_decision.h"
#include "firewall/device.h"
#include "firewall/device_protocol.h"
#include "firewall/ps_notifier.h"
#include "firewall/trusted_path_list.h"
#include "firewall/trusted_programs.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::firewall {

class CDriverHost;

// The request fields the decision reads, in host order.
RequestFacts FactsOf(const CNETWORK_REQUEST& request);

class CFirewallDriver {
 public:
  using DeviceOpener = std::function<std::unique_ptr<CDevice>()>;
  using SetupLauncher = std::function<bool(const std::string& parameters)>;
  using ProgramResolver = std::function<RequestProgram(uint32_t processId)>;
  using NotifierFactory =
      std::function<std::unique_ptr<CPsNotifier>(CDevice& device, CDriverHost& host)>;
  // Told about every request FetchAndDecide took, with what decided it; for undecided requests
  // the decision is kDecisionUndecided.
  using DecisionObserver =
      std::function<void(const CNETWORK_REQUEST& request, const RequestProgram& program,
                         const DecisionResult& result)>;

  struct Options {
    DeviceOpener openDevice;                         // null: there is no device
    SetupLauncher launchSetup;                       // null: the installer is not tried
    ProgramResolver resolve;                         // null: RequestProgramOf
    CAccessDecision::SignatureTest isSigned;         // null: the process-wide signature service
    NotifierFactory makeNotifier;                    // null: no notifier
    const int* level = nullptr;                      // null: g_SecurityLevel
    const CTrustedPathList* trustedPaths = nullptr;  // null: the process-wide list
    uint32_t ownProcessId = 0;                       // 0: getpid()
  };

  CFirewallDriver(store::CDBManager& store, Options options);
  ~CFirewallDriver();
  CFirewallDriver(const CFirewallDriver&) = delete;
  CFirewallDriver& operator=(const CFirewallDriver&) = delete;

  // The program's instance over the process-wide store, the daemon's socket and installer.
  static CFirewallDriver& GetInstance();

  // REQUIRES: called once, with the host that owns the poll timer.
  void Init(CDriverHost* host, const std::vector<TrustedProgram>& trustedPrograms);
  // 0: nothing more this tick (no request, or its verdict was sent); 1: *request is undecided
  // and must be put to the user.
  int FetchAndDecide(CNETWORK_REQUEST* request);
  // Always reports success; a lost verdict is left to the device.
  int SendVerdict(const CNETWORK_REQUEST& request, uint32_t verdict);
  void Release();

  // Takes a device opened after Init: the notifier starts and fetches go to it. False (the
  // device is dropped) when a device is open already or the channel was released.
  // REQUIRES: Init was called.
  bool Attach(std::unique_ptr<CDevice> device);
  // Lets go of a device whose channel broke (its notifier ends first); true when there was one.
  bool DropLostDevice();

  // Starts the installer with parameters and waits for it: as root directly, otherwise through
  // pkexec. False, after the error message, when it cannot be started.
  static bool LaunchSetup(const std::string& parameters);
  // The installer's command line for parameters: the installer in the system folder, through
  // pkexec unless this process runs as root.
  static std::vector<std::string> SetupCommand(const std::string& parameters);
  // Runs the installer with runner (which starts a command line and waits for it): 0, or the
  // errno that kept it from starting (the installer is missing or not executable).
  static int RunSetup(const std::string& parameters,
                      const std::function<int(const std::vector<std::string>&)>& runner);
  // "Error while starting Talvoran firewall Driver Installer ..." with the error code.
  static std::string SetupErrorText(int error);
  // Shows the installer's start failure (text, caption); the windowed program puts a message
  // box here. The default writes the text to stderr.
  using MessageSink = std::function<void(const std::string& text, const std::string& caption)>;
  static void SetMessageSink(MessageSink sink);

  void SetDecisionObserver(DecisionObserver observer) { observer_ = std::move(observer); }
  bool IsOpen() const { return device_ != nullptr; }
  // True when the device was open and its channel has broken since.
  bool DeviceLost() const { return device_ != nullptr && !device_->IsOpen(); }
  int PollPeriodMs() const { return 100; }
  CPsNotifier* Notifier() { return notifier_.get(); }

 private:
  void Notify(const CNETWORK_REQUEST& request, const RequestProgram& program,
              const DecisionResult& result);

  store::CDBManager& store_;
  Options options_;
  CAccessDecision decision_;
  CDriverHost* host_ = nullptr;
  std::unique_ptr<CDevice> device_;
  std::unique_ptr<CPsNotifier> notifier_;
  DecisionObserver observer_;
  bool released_ = false;
};

}  // namespace qxfw::firewall
