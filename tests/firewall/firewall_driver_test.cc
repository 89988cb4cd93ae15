// The driver channel, the poll handler and the notifier against a stand-in of the daemon's
// device socket.
#include "firewall/firewall_driver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "firewall/driver_host.h"
#include "firewall/request_poller.h"
#include "firewall/security_level.h"
#include "monitor/image_cacher.h"
#include "platform/debug_output.h"
#include "store/db_manager.h"
#include "test_support/file_text.h"
#include "tests/firewall/fake_device.h"

namespace qxfw::firewall {
namespace {

using testing::FakeDevice;

class RecordingHost : public CDriverHost {
 public:
  void SetPollTimer(int periodMs) override { period = periodMs; }
  void KillPollTimer() override { killed = true; }
  void PostPoll() override { ++polls; }
  void PostImageLoaded(uint32_t processId) override {
    std::lock_guard<std::mutex> lock(mutex);
    images.push_back(processId);
  }
  int period = 0;
  bool killed = false;
  std::atomic<int> polls{0};
  std::mutex mutex;
  std::vector<uint32_t> images;
};

constexpr uint32_t kClientPid = 4242;

CNETWORK_REQUEST Request(uint32_t handle, uint32_t pid, uint16_t port,
                         uint8_t protocol = kProtocolTcp) {
  CNETWORK_REQUEST r{};
  r.requestHandle = handle;
  r.protocol = protocol;
  r.requestType = protocol == kProtocolTcp ? kRequestTcpConnect : kRequestUdpSend;
  r.remoteAddress = htonl(0xC0000201);  // 192.0.2.1
  r.remotePort = htons(port);
  r.localAddress = htonl(0x0A000001);
  r.localPort = htons(40000);
  r.processId = pid;
  return r;
}

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() : db_(dir_.path()) {}

  std::unique_ptr<CFirewallDriver> MakeDriver(bool withDevice = true) {
    CFirewallDriver::Options options;
    if (withDevice) {
      options.openDevice = [this]() -> std::unique_ptr<CDevice> {
        ++opens_;
        return CDeviceSocket::Open(device_.path());
      };
    }
    options.launchSetup = [this](const std::string& parameters) {
      setupRuns_.push_back(parameters);
      return true;
    };
    options.resolve = [](uint32_t pid) {
      RequestProgram p;
      if (pid == kClientPid) {
        p.path = "/usr/bin/client";
        p.name = "client";
      }
      return p;
    };
    options.isSigned = [](const RequestProgram&) { return false; };
    options.level = &level_;
    options.trustedPaths = &trusted_;
    options.ownProcessId = 777;
    return std::make_unique<CFirewallDriver>(db_, std::move(options));
  }

  void AddProgram(const char* path, int16_t action) {
    store::tagFIREWALL_PROGRAM p{};
    p.action = action;
    std::strcpy(p.path, path);
    ASSERT_NE(db_.AddProgram(p, nullptr), 0);
  }

  test_support::TempDir dir_;
  store::CDBManager db_;
  FakeDevice device_;
  int level_ = kLevelMedium;
  CTrustedPathList trusted_;
  int opens_ = 0;
  std::vector<std::string> setupRuns_;
  RecordingHost host_;
};

TEST_F(DriverTest, DecidedRequestsAreAnsweredAtOnce) {
  AddProgram("/usr/bin/client", store::kActionAllow);
  auto driver = MakeDriver();
  driver->Init(&host_, {});
  ASSERT_TRUE(driver->IsOpen());
  EXPECT_EQ(host_.period, 100);
  EXPECT_TRUE(setupRuns_.empty());

  CNETWORK_REQUEST buffer;
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);  // empty queue
  EXPECT_TRUE(device_.Verdicts().empty());

  device_.QueueRequest(Request(11, kClientPid, 80));
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  // A request of the firewall itself is allowed without any rule (a block-all rule exists).
  AddProgram("n/a", store::kActionBlock);
  device_.QueueRequest(Request(12, 777, 80));
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  device_.QueueRequest(Request(13, 9999, 80));  // no path: matches the "n/a" rule
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);

  auto verdicts = device_.VerdictsWhen(3);
  ASSERT_EQ(verdicts.size(), 3u);
  EXPECT_EQ(verdicts[0].requestHandle, 11u);
  EXPECT_EQ(verdicts[0].verdict, kVerdictAllow);
  EXPECT_EQ(verdicts[1].requestHandle, 12u);
  EXPECT_EQ(verdicts[1].verdict, kVerdictAllow);
  EXPECT_EQ(verdicts[2].requestHandle, 13u);
  EXPECT_EQ(verdicts[2].verdict, kVerdictBlock);
}

TEST_F(DriverTest, RequestsDecidedByRulesComeAheadWithoutAFetchEach) {
  AddProgram("/usr/bin/client", store::kActionAllow);
  CNETWORK_REQUEST first = Request(21, kClientPid, 80);
  CNETWORK_REQUEST second = Request(22, kClientPid, 443);
  device_.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &first, sizeof(first));
  device_.QueueOutput(IOCTL_WAIT_NETWORK_REQUEST, &second, sizeof(second));
  auto driver = MakeDriver();
  driver->Init(&host_, {});
  device_.AwaitCalls(IOCTL_WAIT_NETWORK_REQUEST, 1);  // asked ahead at Init
  CNETWORK_REQUEST buffer;
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  // The verdict took the next fetch ahead along, in the same write.
  device_.AwaitCalls(IOCTL_WAIT_NETWORK_REQUEST, 2);
  std::vector<DeviceCall> calls = device_.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2].controlCode, IOCTL_SET_VERDICT);
  EXPECT_EQ(calls.back().controlCode, IOCTL_WAIT_NETWORK_REQUEST);
  EXPECT_EQ(device_.ReadOf(calls.size() - 2), device_.ReadOf(calls.size() - 1));
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  auto verdicts = device_.VerdictsWhen(2);
  ASSERT_EQ(verdicts.size(), 2u);
  EXPECT_EQ(verdicts[0].requestHandle, 21u);
  EXPECT_EQ(verdicts[1].requestHandle, 22u);
  EXPECT_EQ(verdicts[1].verdict, kVerdictAllow);
  // Neither request cost a fetch of its own.
  EXPECT_EQ(device_.CallsOf(IOCTL_GET_NETWORK_REQUEST), 0u);
}

TEST_F(DriverTest, AlignedFormIsConvertedAndCutRecordsAreIgnored) {
  AddProgram("/usr/bin/client", store::kActionBlock);
  auto driver = MakeDriver();
  driver->Init(&host_, {});
  CNETWORK_REQUEST_ALIGNED aligned = RequestToAligned(Request(21, kClientPid, 443));
  device_.QueueOutput(IOCTL_GET_NETWORK_REQUEST, nullptr, 0);  // 0 bytes for 33
  device_.QueueOutput(IOCTL_GET_NETWORK_REQUEST, &aligned, sizeof(aligned));
  std::vector<CNETWORK_REQUEST> seen;
  driver->SetDecisionObserver([&](const CNETWORK_REQUEST& r, const RequestProgram&,
                                  const DecisionResult&) { seen.push_back(r); });
  CNETWORK_REQUEST buffer;
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].requestHandle, 21u);
  EXPECT_EQ(ntohs(seen[0].remotePort), 443);
  EXPECT_EQ(seen[0].processId, kClientPid);
  EXPECT_EQ(seen[0].localPort, htons(40000));

  // A record cut short is not decided on zeros.
  CNETWORK_REQUEST half = Request(22, kClientPid, 80);
  device_.QueueOutput(IOCTL_GET_NETWORK_REQUEST, &half, 20, ERROR_GEN_FAILURE);
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  ASSERT_EQ(device_.Verdicts().size(), 1u);
  EXPECT_EQ(device_.Verdicts()[0].verdict, kVerdictBlock);
}

TEST_F(DriverTest, UndecidedRequestsArePendingAndOpenOnePromptPerProcess) {
  level_ = kLevelHigh;
  auto driver = MakeDriver();
  driver->Init(&host_, {});
  CPendingRequests pending;
  std::vector<uint32_t> prompts;
  CRequestPoller poller(*driver, pending,
                        [&](const CNETWORK_REQUEST& r) { prompts.push_back(r.requestHandle); });
  device_.QueueRequest(Request(31, kClientPid, 80));
  device_.QueueRequest(Request(32, kClientPid, 81));
  device_.QueueRequest(Request(33, 5555, 80, kProtocolUdp));
  EXPECT_TRUE(poller.OnPollTimer());
  EXPECT_TRUE(poller.OnPollTimer());
  EXPECT_TRUE(poller.OnPollTimer());
  EXPECT_FALSE(poller.OnPollTimer());
  EXPECT_EQ(prompts, (std::vector<uint32_t>{31, 33}));
  EXPECT_EQ(pending.Count(), 3u);
  EXPECT_TRUE(device_.Verdicts().empty());
}

TEST_F(DriverTest, LowLevelLetsTrustedPathsThrough) {
  level_ = kLevelLow;
  trusted_.Add("/USR/bin/client");
  auto driver = MakeDriver();
  driver->Init(&host_, {});
  device_.QueueRequest(Request(41, kClientPid, 5000));
  device_.QueueRequest(Request(42, 5555, 5000));
  CNETWORK_REQUEST buffer;
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 1);
  EXPECT_EQ(buffer.requestHandle, 42u);
  ASSERT_EQ(device_.Verdicts().size(), 1u);
  EXPECT_EQ(device_.Verdicts()[0].requestHandle, 41u);
  // At Medium the list does not count.
  level_ = kLevelMedium;
  device_.QueueRequest(Request(43, kClientPid, 5000));
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 1);
}

TEST_F(DriverTest, MissingDeviceRunsTheInstallerOnceAndKeepsTheTimer) {
  CFirewallDriver::Options options;
  int opens = 0;
  options.openDevice = [&]() -> std::unique_ptr<CDevice> {
    ++opens;
    return nullptr;
  };
  options.launchSetup = [&](const std::string& p) {
    setupRuns_.push_back(p);
    return true;
  };
  CFirewallDriver driver(db_, std::move(options));
  driver.Init(&host_, {});
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(setupRuns_, (std::vector<std::string>{"/StartDriver"}));
  EXPECT_FALSE(driver.IsOpen());
  EXPECT_EQ(host_.period, 100);
  CNETWORK_REQUEST buffer;
  EXPECT_EQ(driver.FetchAndDecide(&buffer), 0);
  driver.Release();
  EXPECT_TRUE(host_.killed);
}

TEST_F(DriverTest, ADeviceThatComesLaterIsAttachedAndALostOneLetGo) {
  AddProgram("/usr/bin/client", store::kActionAllow);
  auto driver = MakeDriver(false);
  driver->Init(&host_, {});
  EXPECT_FALSE(driver->IsOpen());
  EXPECT_FALSE(driver->DropLostDevice()) << "nothing to let go";

  // The daemon started after the program: its device is taken and used from the next tick.
  ASSERT_TRUE(driver->Attach(CDeviceSocket::Open(device_.path())));
  EXPECT_TRUE(driver->IsOpen());
  EXPECT_FALSE(driver->DeviceLost());
  device_.QueueRequest(Request(5, kClientPid, 80));
  CNETWORK_REQUEST buffer;
  for (int i = 0; i < 200 && device_.Verdicts().empty(); ++i) {
    driver->FetchAndDecide(&buffer);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(device_.VerdictsWhen(1).size(), 1u);
  EXPECT_EQ(device_.Verdicts()[0].verdict, 1u);
  // A second device is refused while one is open.
  FakeDevice second;
  EXPECT_FALSE(driver->Attach(CDeviceSocket::Open(second.path())));
  EXPECT_FALSE(driver->Attach(nullptr));

  // The daemon goes away: the next call finds the channel broken, and the device is let go.
  device_.Disconnect();
  for (int i = 0; i < 200 && !driver->DeviceLost(); ++i) {
    driver->FetchAndDecide(&buffer);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(driver->DeviceLost());
  EXPECT_TRUE(driver->DropLostDevice());
  EXPECT_FALSE(driver->IsOpen());
  EXPECT_FALSE(driver->DeviceLost());
  EXPECT_EQ(driver->FetchAndDecide(&buffer), 0);
  // It comes back: attached again.
  FakeDevice back;
  EXPECT_TRUE(driver->Attach(CDeviceSocket::Open(back.path())));
  EXPECT_TRUE(driver->IsOpen());
  driver->Release();
  // After the release nothing is taken any more.
  FakeDevice third;
  EXPECT_FALSE(driver->Attach(CDeviceSocket::Open(third.path())));
}

TEST(SetupCommandTest, TheInstallerThroughPkexecUnlessRoot) {
  test_support::TempDir dir;
  test_support::ScopedEnv system("QXFW_SYSTEM_DIR", dir.path());
  std::vector<std::string> expected;
  if (geteuid() != 0) expected.push_back("pkexec");
  expected.push_back(dir.path() + "/qxfwsetup");
  expected.push_back("/StartDriver");
  EXPECT_EQ(CFirewallDriver::SetupCommand("/StartDriver"), expected);
  std::vector<std::vector<std::string>> ran;
  auto runner = [&](const std::vector<std::string>& argv) {
    ran.push_back(argv);
    return 0;
  };
  // A missing installer is the error; nothing is run.
  EXPECT_EQ(CFirewallDriver::RunSetup("/StartDriver", runner), ENOENT);
  EXPECT_TRUE(ran.empty());
  test_support::WriteTextFile(dir.path() + "/qxfwsetup", "#!/bin/sh\n");
  EXPECT_EQ(CFirewallDriver::RunSetup("/StartDriver", runner), EACCES) << "not executable";
  std::filesystem::permissions(dir.path() + "/qxfwsetup", std::filesystem::perms::owner_all);
  EXPECT_EQ(CFirewallDriver::RunSetup("/StartDriver", runner), 0);
  EXPECT_EQ(ran, (std::vector<std::vector<std::string>>{expected}));
  EXPECT_EQ(CFirewallDriver::SetupErrorText(2),
            "Error while starting Talvoran firewall Driver Installer\n\nError Code:2");
}

TEST_F(DriverTest, ReleaseTellsTheDeviceAndRegistrationRunsAtInit) {
  std::string program = dir_.path() + "/trusted-tool";
  { std::ofstream(program) << "x"; }
  auto driver = MakeDriver();
  TrustedProgram trusted;
  trusted.path = program;
  driver->Init(&host_, {trusted});
  store::tagFIREWALL_PROGRAM rule;
  db_.Select(store::CDBManager::kSelectRuleFile);
  ASSERT_TRUE(db_.Select(store::CDBManager::kSelectProgram) && db_.GetProgram(&rule));
  EXPECT_EQ(rule.path, program);
  driver->Release();
  driver->Release();
  EXPECT_TRUE(host_.killed);
  // The release call reaches the device before the connection closes.
  for (int i = 0; i < 100 && device_.CallsOf(IOCTL_RELEASE) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(device_.CallsOf(IOCTL_RELEASE), 1u);
}

TEST(LaunchSetupTest, MissingInstallerReportsTheErrorCode) {
  test_support::TempDir dir;
  test_support::ScopedEnv system("QXFW_SYSTEM_DIR", dir.path());
  std::vector<std::string> shown;
  CFirewallDriver::SetMessageSink([&](const std::string& text, const std::string& caption) {
    shown.push_back(caption + "|" + text);
  });
  EXPECT_FALSE(CFirewallDriver::LaunchSetup("/StartDriver"));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "Error|Error while starting Talvoran firewall Driver Installer\n\nError Code:2");
  // An installer that exists runs and is waited for.
  std::string setup = dir.path() + "/qxfwsetup";
  { std::ofstream(setup) << "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/ran\"\n"; }
  std::filesystem::permissions(setup, std::filesystem::perms::owner_all);
  if (geteuid() == 0) {
    EXPECT_TRUE(CFirewallDriver::LaunchSetup("/StartDriver"));
    std::ifstream ran(dir.path() + "/ran");
    std::string word;
    ran >> word;
    EXPECT_EQ(word, "/StartDriver");
  }
  CFirewallDriver::SetMessageSink(nullptr);
}

class NotifierTest : public ::testing::Test {
 protected:
  NotifierTest() : device_socket_(CDeviceSocket::Open(device_.path())) {}
  // A user-scope event named after base and this process, and one opener's handle.
  void MakeEvent(const std::string& base) {
    std::string name = base + std::to_string(getpid());
    creator_ = platform::NamedEventCreator::Create(name, platform::EventScope::kUser);
    ASSERT_TRUE(creator_);
    handle_ = platform::NamedEventHandle::Open(name, platform::EventScope::kUser);
    ASSERT_TRUE(handle_);
  }
  // Waits until the notifier thread has connected to the event.
  void WaitForOpener() {
    for (int i = 0; i < 100 && creator_->OpenerCount() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::unique_ptr<platform::NamedEventCreator> creator_;
  std::unique_ptr<platform::NamedEventHandle> handle_;
  FakeDevice device_;
  std::unique_ptr<CDeviceSocket> device_socket_;
  RecordingHost host_;
  monitor::CImageCacher cache_;
};

void QueueWideImage(FakeDevice& device, uint32_t pid, const std::string& path) {
  tagIMAGE_LOAD_W record{};
  record.processId = pid;
  for (size_t i = 0; i < path.size() && i < kImagePathUnits - 1; ++i) {
    record.path[i] = static_cast<unsigned char>(path[i]);
  }
  device.QueueOutput(IOCTL_GET_IMAGE_LOAD, &record, sizeof(record));
}

TEST_F(NotifierTest, DrainRecordsEachNewProgramOnce) {
  ASSERT_TRUE(device_socket_);
  uint32_t self = static_cast<uint32_t>(getpid());
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  CPsNotifier notifier(*device_socket_, host_, nullptr, nullptr, cache_);
  notifier.Stop();  // the thread would drain on its own; this test drives the drain
  QueueWideImage(device_, self, exe);
  QueueWideImage(device_, self, exe);                   // loaded twice in a row: reported once
  QueueWideImage(device_, self, "/usr/lib/libc.so.6");  // not a program of this process
  tagIMAGE_LOAD_A narrow{};
  narrow.processId = self;
  std::strncpy(narrow.path, exe.c_str(), sizeof(narrow.path) - 1);
  device_.QueueOutput(IOCTL_GET_IMAGE_LOAD, nullptr, 0);  // 0 bytes: the 268-byte form next
  device_.QueueOutput(IOCTL_GET_IMAGE_LOAD, &narrow, sizeof(narrow));
  EXPECT_EQ(notifier.DrainImageLoads(), 1);
  EXPECT_EQ(cache_.ExecutableOf(self), exe);
  EXPECT_EQ(host_.images, (std::vector<uint32_t>{self}));
  // The same program again after another image is reported again.
  QueueWideImage(device_, 1, "/sbin/init");  // another process's path: not confirmed here
  QueueWideImage(device_, self, exe);
  EXPECT_EQ(notifier.DrainImageLoads(), 0);  // still the last reported path
}

TEST_F(NotifierTest, NetworkSignalsPostOnePollEachAndStopEndsTheThread) {
  ASSERT_TRUE(device_socket_);
  ASSERT_NO_FATAL_FAILURE(MakeEvent("fwcore-net-"));
  platform::ScopedDebugCapture debug;
  {
    CPsNotifier notifier(*device_socket_, host_, std::move(handle_), nullptr, cache_);
    WaitForOpener();
    for (int i = 0; i < 5; ++i) creator_->Set();
    for (int i = 0; i < 200 && host_.polls < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(host_.polls.load(), 5);
    EXPECT_LT(host_.polls.load(), 8);  // signals are counted, not multiplied
    auto start = std::chrono::steady_clock::now();
    notifier.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  }
  EXPECT_TRUE(debug.Contains("[QXFW]PsNotifier:Stoping..."));
}

TEST_F(NotifierTest, AHostThatWaitsOnTheNetworkEventGetsEverySignalAndNoPosts) {
  ASSERT_TRUE(device_socket_);
  ASSERT_NO_FATAL_FAILURE(MakeEvent("fwcore-hostnet-"));
  {
    // No image event either: the notifier must not fall back to posting every 50 ms.
    CPsNotifier notifier(*device_socket_, host_, nullptr, nullptr, cache_,
                         CPsNotifier::NetworkWaiter::kHost);
    for (int i = 0; i < 5; ++i) creator_->Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(host_.polls.load(), 0);
  }
  size_t signals = 0;
  while (handle_->Wait(100) == platform::WaitResult::kSignalled) ++signals;
  EXPECT_EQ(signals, 5u);
}

TEST_F(NotifierTest, WithoutEventsItPollsEvery50ms) {
  ASSERT_TRUE(device_socket_);
  CPsNotifier notifier(*device_socket_, host_, nullptr, nullptr, cache_);
  std::this_thread::sleep_for(std::chrono::milliseconds(280));
  notifier.Stop();
  EXPECT_GE(host_.polls.load(), 3);
  EXPECT_LE(host_.polls.load(), 7);
}

}  // namespace
}  // namespace qxfw::firewall
