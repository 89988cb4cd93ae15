// Who sent a packet, as the daemon reports it: right for many connections of one process, for
// many short-lived processes, and never borrowed from another program's path.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "daemon_fixture.h"
#include "monitor/trusted_path.h"
#include "platform/named_event.h"

namespace qltdifw::test {
namespace {

using namespace qxfw::firewall;

// Runs the test connector (or a copy of it at path) in namespace A: COUNT connects to B.
pid_t StartConnector(const std::string& ns, const std::string& path, int count,
                     bool privateMountOver = false, const std::string& over = "") {
  return ForkIn(ns, [=] {
    std::string program = path;
    if (privateMountOver) {
      // A private mount namespace with our file over a packaged program's path.
      if (unshare(CLONE_NEWNS) != 0) return 110;
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 111;
      if (mount(path.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) != 0) return 112;
      program = over;
    }
    std::string countText = std::to_string(count), port = std::to_string(Server::kPort);
    execl(program.c_str(), program.c_str(), NetnsPair::kAddressB, port.c_str(), countText.c_str(),
          static_cast<char*>(nullptr));
    return 127;
  });
}

TEST_F(DaemonTest, ThousandConnectionsOfOneClientAreAllItsOwn) {
  StartDaemon();
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  program.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictAllow); });
  pid_t pid = StartConnector(pair_->a, QLTDIFW_TEST_CONNECTOR, 1000);
  EXPECT_EQ(WaitChild(pid), 0);
  auto seen = program.Seen();
  ASSERT_EQ(seen.size(), 1000u);
  size_t own = 0;
  std::set<uint32_t> handles;
  for (const CNETWORK_REQUEST& request : seen) {
    own += request.processId == static_cast<uint32_t>(pid);
    handles.insert(request.requestHandle);
  }
  EXPECT_EQ(own, 1000u);
  EXPECT_EQ(handles.size(), 1000u);
}

TEST_F(DaemonTest, ShortLivedProcessesAreEachAttributedRight) {
  StartDaemon();
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  program.Start([](const CNETWORK_REQUEST&) { return static_cast<int>(kVerdictAllow); });
  std::vector<pid_t> pids;
  for (int i = 0; i < 200; ++i) {
    pid_t pid = StartConnector(pair_->a, QLTDIFW_TEST_CONNECTOR, 1);
    ASSERT_EQ(WaitChild(pid), 0);
    pids.push_back(pid);
  }
  auto seen = program.Seen();
  ASSERT_EQ(seen.size(), 200u);
  size_t right = 0;
  for (size_t i = 0; i < 200; ++i) right += seen[i].processId == static_cast<uint32_t>(pids[i]);
  EXPECT_EQ(right, 200u);
}

TEST_F(DaemonTest, ProgramPathIsTheProcessesOwnAndCannotBeBorrowed) {
  StartDaemon();
  std::string copy = daemon_->runtimeDir + "/copy-of-connector";
  std::filesystem::copy_file(QLTDIFW_TEST_CONNECTOR, copy);
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  std::mutex mutex;
  std::map<uint32_t, qxfw::monitor::RunningProgram> programs;
  // Judged while the request is held and the process is still running.
  program.Start([&](const CNETWORK_REQUEST& request) {
    std::lock_guard<std::mutex> lock(mutex);
    programs[request.processId] = qxfw::monitor::TrustedProgramOf(request.processId);
    return static_cast<int>(kVerdictAllow);
  });
  pid_t copyPid = StartConnector(pair_->a, copy, 1);
  EXPECT_EQ(WaitChild(copyPid), 0);
  const char* packaged = "/usr/bin/true";
  pid_t fakePid = StartConnector(pair_->a, copy, 1, true, packaged);
  EXPECT_EQ(WaitChild(fakePid), 0);

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(programs.count(copyPid), 1u);
  EXPECT_EQ(programs[copyPid].path, copy);
  EXPECT_TRUE(programs[copyPid].trusted);
  ASSERT_EQ(programs.count(fakePid), 1u);
  EXPECT_EQ(programs[fakePid].path, packaged);  // what the process claims
  EXPECT_FALSE(programs[fakePid].trusted);      // and it is not that file
}

TEST_F(DaemonTest, ProgramStartsBecomeImageLoadRecords) {
  for (bool aligned : {false, true}) {
    SCOPED_TRACE(aligned ? "268-byte form" : "534-byte form");
    StartDaemon(aligned ? std::vector<std::string>{"--aligned-records"}
                        : std::vector<std::string>{});
    std::string copy = daemon_->runtimeDir + "/started-program";
    std::filesystem::copy_file(QLTDIFW_TEST_CONNECTOR, copy);
    ProgramDouble program(daemon_->socketPath);
    ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
    auto event = qxfw::platform::NamedEventHandle::Open(kLoadImageNotifyEventName,
                                                        qxfw::platform::EventScope::kSystem,
                                                        nullptr, daemon_->runtimeDir);
    ASSERT_NE(event, nullptr);
    // Nobody answers its connect, so the program stays alive while the record is made.
    pid_t pid = StartConnector(pair_->a, copy, 1);
    // Other programs of the machine start too: look for ours among the records.
    std::string path;
    uint32_t recordPid = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (recordPid != static_cast<uint32_t>(pid) && std::chrono::steady_clock::now() < deadline) {
      event->Wait(100);
      uint32_t got = 0;
      tagIMAGE_LOAD_W wide{};
      tagIMAGE_LOAD_A narrow{};
      uint32_t status = program.Client().Call(IOCTL_GET_IMAGE_LOAD, &wide, sizeof(wide), &wide,
                                              sizeof(wide), &got);
      if (status == ERROR_NO_DATA) continue;
      ASSERT_EQ(status, kStatusSuccess);
      path.clear();
      if (aligned) {
        ASSERT_EQ(got, 0u);  // the caller falls back to the short form
        status = program.Client().Call(IOCTL_GET_IMAGE_LOAD, &narrow, sizeof(narrow), &narrow,
                                       sizeof(narrow), &got);
        if (status == ERROR_NO_DATA) continue;
        ASSERT_EQ(got, sizeof(narrow));
        path = narrow.path;
        recordPid = narrow.processId;
      } else {
        ASSERT_EQ(got, sizeof(wide));
        for (char16_t unit : wide.path) {
          if (unit == 0) break;
          path.push_back(static_cast<char>(unit));
        }
        recordPid = wide.processId;
      }
    }
    EXPECT_EQ(recordPid, static_cast<uint32_t>(pid));
    EXPECT_EQ(path, copy);
    program.StopAndClose();  // releases the held connect
    EXPECT_EQ(WaitChild(pid), 0);
    daemon_.reset();
  }
}

}  // namespace
}  // namespace qltdifw::test
