// The daemon against a program or user on the same machine that misbehaves: a flood of new flows
// from one program, a client that ends other users' connections, a client that stops fetching,
// refused openers hammering the device. Each case runs in the test's own namespace pair, as the
// other daemon tests do; a second user is played by children that change their uid.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "daemon_fixture.h"

namespace qltdifw::test {
namespace {

using namespace qxfw::firewall;
using namespace std::chrono_literals;

constexpr int kFloodDatagrams = 4100;
constexpr int kFirstFloodPort = 20000;
constexpr int kFloodSockets = 41;
constexpr int kConnects = 20;
constexpr int kPerProcessShare = 64;  // requests a process may have held (qltdifw --help)

// What a flooding program saw: how long its flood took and how its connects ended.
struct FloodResult {
  double floodMs = 0;
  int sent = 0;
  int connected = 0;
  int refused = 0;
  int other = 0;
};

// In namespace A: waits for a byte on go, sends kFloodDatagrams UDP datagrams to distinct ports
// of B as fast as it can, then makes kConnects TCP connects to B's server; the result goes to
// report.
pid_t StartFlooder(const std::string& ns, int go, int report) {
  return ForkIn(ns,
                [=] {
                  char byte;
                  if (read(go, &byte, 1) != 1) return 90;
                  FloodResult result;
                  // Held datagrams count against their socket's send buffer (a few hundred
                  // fill it), so the flood goes out through many sockets, all kept open.
                  std::vector<int> sockets;
                  for (int i = 0; i < kFloodSockets; ++i) {
                    sockets.push_back(socket(AF_INET, SOCK_DGRAM, 0));
                  }
                  sockaddr_in to{};
                  to.sin_family = AF_INET;
                  inet_pton(AF_INET, NetnsPair::kAddressB, &to.sin_addr);
                  auto start = std::chrono::steady_clock::now();
                  for (int i = 0; i < kFloodDatagrams; ++i) {
                    to.sin_port = htons(static_cast<uint16_t>(kFirstFloodPort + i));
                    if (sendto(sockets[static_cast<size_t>(i % kFloodSockets)], "x", 1,
                               MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 1) {
                      ++result.sent;
                    }
                  }
                  result.floodMs = std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - start)
                                       .count();
                  for (int i = 0; i < kConnects; ++i) {
                    int rc = ConnectTcp(NetnsPair::kAddressB, Server::kPort, 1500);
                    if (rc == 0) {
                      ++result.connected;
                    } else if (rc == ECONNREFUSED) {
                      ++result.refused;
                    } else {
                      ++result.other;
                    }
                  }
                  return write(report, &result, sizeof(result)) == sizeof(result) ? 0 : 91;
                },
                {go, report});
}

class HardeningTest : public DaemonTest {
 protected:
  void FloodCase(bool answerFlooder);
};

// The flood's destination ports, as iptables names the range.
const std::string kFloodPorts =
    std::to_string(kFirstFloodPort) + ":" + std::to_string(kFirstFloodPort + kFloodDatagrams - 1);

// How many datagrams to the flood's ports namespace ns received, by its counting rule.
long ArrivedAt(const std::string& ns) {
  FILE* in = popen(("ip netns exec " + ns + " iptables -w -nvxL INPUT").c_str(), "r");
  if (in == nullptr) return -1;
  long packets = -1;
  char line[512];
  while (fgets(line, sizeof(line), in) != nullptr) {
    if (std::strstr(line, ("dpts:" + kFloodPorts).c_str()) != nullptr) {
      packets = std::strtol(line, nullptr, 10);
    }
  }
  pclose(in);
  return packets;
}

// A flood of new UDP flows from one program, then its TCP connects; meanwhile another program
// connects. answerFlooder: the program double answers the flooder's requests with a block
// (a program the rules block); otherwise it leaves them pending, as while a prompt for that
// program is open.
void HardeningTest::FloodCase(bool answerFlooder) {
  const Daemon& daemon = *daemon_;
  ProgramDouble program(daemon.socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  std::atomic<uint32_t> flooder{0};
  std::atomic<int> flooderSeen{0};
  program.Start([&](const CNETWORK_REQUEST& request) {
    if (request.processId != flooder.load()) return static_cast<int>(kVerdictAllow);
    ++flooderSeen;
    return answerFlooder ? static_cast<int>(kVerdictBlock) : -1;
  });
  // B counts the flood's datagrams that arrive (and drops them): none may.
  ASSERT_TRUE(Shell("ip netns exec " + pair_->b + " iptables -w -I INPUT -p udp --dport " +
                    kFloodPorts + " -j DROP"));
  // Warm: the daemon's memory with its tables in use.
  EXPECT_EQ(ConnectFromA(2000), 0);
  long rssBefore = daemon.RssKilobytes();
  ASSERT_GT(rssBefore, 0);

  int go[2], report[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(report), 0);
  pid_t child = StartFlooder(pair_->a, go[0], report[1]);
  flooder = static_cast<uint32_t>(child);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  // Another program connects while the flooder floods and connects.
  int allowedPassed = 0;
  for (int i = 0; i < kConnects; ++i) allowedPassed += ConnectFromA(3000) == 0;
  FloodResult result;
  ASSERT_EQ(read(report[0], &result, sizeof(result)), static_cast<ssize_t>(sizeof(result)));
  EXPECT_EQ(WaitChild(child), 0);
  for (int fd : {go[0], go[1], report[0], report[1]}) close(fd);

  EXPECT_LT(result.floodMs, 500.0) << "the flood was too slow to be one";
  EXPECT_EQ(result.sent, kFloodDatagrams);
  EXPECT_EQ(ArrivedAt(pair_->b), 0) << "datagrams of a blocked program got through";
  EXPECT_EQ(result.connected, 0) << "connections of a blocked program got through";
  EXPECT_EQ(result.refused, kConnects) << "others: " << result.other;
  EXPECT_EQ(allowedPassed, kConnects);
  if (!answerFlooder) {
    // Nothing of the flooder was answered: what it holds stays within its share.
    EXPECT_LE(flooderSeen.load(), kPerProcessShare);
  }
  long rssAfter = daemon.RssKilobytes();
  EXPECT_LT(rssAfter - rssBefore, 8 * 1024) << rssBefore << " kB -> " << rssAfter << " kB";
  // The refusals are in the log once, with a summary, not once per datagram.
  std::string log = daemon.Log();
  size_t lines = 0;
  for (size_t at = log.find("refused, "); at != std::string::npos;
       at = log.find("refused, ", at + 1)) {
    ++lines;
  }
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 3u);
}

TEST_F(HardeningTest, FloodFromARefusedProgramNeverLetsItThrough) {
  StartDaemon();
  FloodCase(true);
}

TEST_F(HardeningTest, FloodFromAProgramAwaitingItsPromptNeverLetsItThrough) {
  StartDaemon();
  FloodCase(false);
}

// One kept-open connection as its child reports it.
struct HeldConnection {
  uint32_t uid;
  tagEND_CONNECTION end;
};

// In namespace A as uid: a TCP connection to B kept open. Reports it on report, then waits for a
// byte on go and exits 0 when the connection was aborted meanwhile, 1 when it is alive.
pid_t HoldConnectionAs(const std::string& ns, uid_t uid, int report, int go) {
  return ForkIn(ns,
                [=] {
                  if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) return 95;
                  int fd = socket(AF_INET, SOCK_STREAM, 0);
                  sockaddr_in to{};
                  to.sin_family = AF_INET;
                  to.sin_port = htons(Server::kKeepOpenPort);
                  inet_pton(AF_INET, NetnsPair::kAddressB, &to.sin_addr);
                  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return 90;
                  sockaddr_in local{};
                  socklen_t length = sizeof(local);
                  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
                  HeldConnection held{
                      uid,
                      {local.sin_addr.s_addr, to.sin_addr.s_addr, local.sin_port, to.sin_port}};
                  if (write(report, &held, sizeof(held)) != sizeof(held)) return 91;
                  char byte;
                  if (read(go, &byte, 1) != 1) return 92;
                  ssize_t n = send(fd, "y", 1, MSG_NOSIGNAL);
                  if (n < 0 && (errno == ECONNABORTED || errno == EPIPE)) return 0;
                  return n == 1 ? 1 : 93;
                },
                {report, go});
}

// Asks the daemon, as a client of uid, to end each connection; returns the statuses.
std::vector<uint32_t> EndAs(uid_t uid, const std::string& socketPath,
                            const std::vector<tagEND_CONNECTION>& ends) {
  int answers[2];
  if (pipe(answers) != 0) return {};
  pid_t child = fork();
  if (child == 0) {
    if (setresuid(uid, uid, uid) != 0) _exit(99);
    DeviceClient client;
    uint32_t open = client.Open(socketPath);
    if (open != kStatusSuccess) _exit(98);
    for (const tagEND_CONNECTION& end : ends) {
      uint32_t got = 0;
      uint32_t status = client.Call(IOCTL_END_TCP_CONNECTION, &end, sizeof(end), nullptr, 0, &got);
      if (write(answers[1], &status, sizeof(status)) != sizeof(status)) _exit(97);
    }
    _exit(0);
  }
  close(answers[1]);
  std::vector<uint32_t> statuses;
  uint32_t status;
  while (read(answers[0], &status, sizeof(status)) == sizeof(status)) statuses.push_back(status);
  close(answers[0]);
  EXPECT_EQ(WaitChild(child), 0);
  return statuses;
}

TEST_F(HardeningTest, AClientEndsOnlyItsOwnUsersConnectionsUnlessItIsRoot) {
  constexpr uid_t kUser = 4242, kOther = 65534;
  StartDaemon({"--user", std::to_string(kUser)});
  int report[2], go[2];
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t others = HoldConnectionAs(pair_->a, kOther, report[1], go[0]);
  pid_t own = HoldConnectionAs(pair_->a, kUser, report[1], go[0]);
  pid_t rootOwned = HoldConnectionAs(pair_->a, 0, report[1], go[0]);
  // The children report in whatever order they connect.
  tagEND_CONNECTION ofOther{}, ofUser{}, ofRoot{};
  for (int i = 0; i < 3; ++i) {
    HeldConnection held{};
    ASSERT_EQ(read(report[0], &held, sizeof(held)), static_cast<ssize_t>(sizeof(held)));
    (held.uid == kOther ? ofOther : held.uid == kUser ? ofUser : ofRoot) = held.end;
  }
  ASSERT_NE(ofOther.localPort, 0);
  ASSERT_NE(ofUser.localPort, 0);
  ASSERT_NE(ofRoot.localPort, 0);

  std::vector<uint32_t> statuses = EndAs(kUser, daemon_->socketPath, {ofOther, ofRoot, ofUser});
  ASSERT_EQ(statuses.size(), 3u);
  if (statuses[2] == ERROR_NOT_SUPPORTED) GTEST_SKIP() << "kernel without socket destroy";
  EXPECT_EQ(statuses[0], ERROR_ACCESS_DENIED) << "another user's connection";
  EXPECT_EQ(statuses[1], ERROR_ACCESS_DENIED) << "root's connection";
  EXPECT_EQ(statuses[2], kStatusSuccess) << "the client user's own connection";
  ASSERT_EQ(write(go[1], "ggg", 3), 3);
  EXPECT_EQ(WaitChild(others), 1) << "another user's connection was aborted";
  EXPECT_EQ(WaitChild(rootOwned), 1) << "root's connection was aborted";
  EXPECT_EQ(WaitChild(own), 0);

  // A root client may end any connection.
  pid_t again = HoldConnectionAs(pair_->a, kOther, report[1], go[0]);
  HeldConnection held{};
  ASSERT_EQ(read(report[0], &held, sizeof(held)), static_cast<ssize_t>(sizeof(held)));
  tagEND_CONNECTION end = held.end;
  // The previous client may still be going away.
  std::vector<uint32_t> rootStatus;
  for (int i = 0; i < 100 && rootStatus.empty(); ++i) {
    DeviceClient client;
    uint32_t open = client.Open(daemon_->socketPath);
    if (open == ERROR_SHARING_VIOLATION) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    ASSERT_EQ(open, kStatusSuccess);
    uint32_t got = 0;
    rootStatus.push_back(
        client.Call(IOCTL_END_TCP_CONNECTION, &end, sizeof(end), nullptr, 0, &got));
  }
  ASSERT_EQ(rootStatus.size(), 1u);
  EXPECT_EQ(rootStatus[0], kStatusSuccess);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  EXPECT_EQ(WaitChild(again), 0);
  for (int fd : {report[0], report[1], go[0], go[1]}) close(fd);
}

// A client in a process of its own that fetches every request and answers it with verdict.
pid_t StartFetchingClient(const std::string& socketPath, uint32_t verdict) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    DeviceClient client;
    uint32_t status = client.Open(socketPath);
    if (write(ready[1], &status, sizeof(status)) != sizeof(status)) _exit(97);
    if (status != kStatusSuccess) _exit(98);
    for (;;) {
      CNETWORK_REQUEST request{};
      uint32_t got = 0;
      status = client.Call(IOCTL_GET_NETWORK_REQUEST, nullptr, 0, &request, sizeof(request), &got);
      if (status == kStatusSuccess && got == sizeof(request)) {
        tagVERDICT answer{request.requestHandle, verdict};
        client.Call(IOCTL_SET_VERDICT, &answer, sizeof(answer), nullptr, 0, &got);
      } else if (status != ERROR_NO_DATA) {
        _exit(0);  // the device went
      } else {
        usleep(10000);
      }
    }
  }
  close(ready[1]);
  uint32_t status = 1;
  bool opened = read(ready[0], &status, sizeof(status)) == sizeof(status) && status == 0;
  close(ready[0]);
  if (!opened) {
    WaitChild(child);
    return -1;
  }
  return child;
}

TEST_F(HardeningTest, AStoppedClientIsLetGoAfterTheClientTimeOutAndResumesWhenItFetches) {
  StartDaemon();  // the default client time-out, 5 s
  pid_t client = StartFetchingClient(daemon_->socketPath, kVerdictBlock);
  ASSERT_GT(client, 0);
  EXPECT_EQ(ConnectFromA(3000), ECONNREFUSED);  // it answers while it runs
  ASSERT_EQ(kill(client, SIGSTOP), 0);
  double elapsed = 0;
  EXPECT_EQ(ConnectFromA(12000, &elapsed), 0) << "held by a client that does not fetch";
  EXPECT_GE(elapsed, 4000.0);
  EXPECT_LT(elapsed, 8000.0);
  EXPECT_NE(daemon_->Log().find("has not fetched for 5 s while requests wait"), std::string::npos);
  // Let go, it does not hold up what comes next either.
  EXPECT_EQ(ConnectFromA(1000), 0);

  // Running again, it fetches and filters again.
  ASSERT_EQ(kill(client, SIGCONT), 0);
  int result = 0;
  for (int i = 0; i < 50 && (result = ConnectFromA(3000)) == 0; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(result, ECONNREFUSED);
  EXPECT_NE(daemon_->Log().find("fetches again: filtering resumes"), std::string::npos);

  // Stopped again, it gives way to a new client.
  ASSERT_EQ(kill(client, SIGSTOP), 0);
  EXPECT_EQ(ConnectFromA(12000), 0);
  ProgramDouble next(daemon_->socketPath);
  EXPECT_EQ(next.OpenStatus(), kStatusSuccess);
  kill(client, SIGKILL);
  WaitChild(client);
}

TEST_F(HardeningTest, AClientThatKeepsFetchingWhileItsPromptIsOpenKeepsItsRequests) {
  StartDaemon({"--client-timeout", "1"});
  ProgramDouble program(daemon_->socketPath);
  ASSERT_EQ(program.OpenStatus(), kStatusSuccess);
  program.Start([](const CNETWORK_REQUEST&) { return -1; });  // the user is thinking
  double elapsed = 0;
  EXPECT_EQ(ConnectFromA(3500, &elapsed), ETIMEDOUT);
  EXPECT_EQ(program.SeenCount(), 1u);
  EXPECT_EQ(daemon_->Log().find("has not fetched"), std::string::npos);
}

TEST_F(HardeningTest, ReportsReadyAndPingsTheWatchdogWhileItsLoopRuns) {
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string name = "@qxfw-watchdog-" + std::to_string(getpid());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data() + 1, name.size() - 1);
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
            0);
  setenv("NOTIFY_SOCKET", name.c_str(), 1);
  setenv("WATCHDOG_USEC", "1000000", 1);
  StartDaemon();
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  // Every message until the deadline.
  auto messages = [&](std::chrono::milliseconds within) {
    std::vector<std::string> got;
    auto until = std::chrono::steady_clock::now() + within;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{notify, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      char buffer[256];
      ssize_t n = recv(notify, buffer, sizeof(buffer), 0);
      if (n > 0) got.emplace_back(buffer, static_cast<size_t>(n));
    }
    return got;
  };
  std::vector<std::string> first = messages(1500ms);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first[0], "READY=1");
  EXPECT_GE(std::count(first.begin(), first.end(), "WATCHDOG=1"), 2);
  // A stuck daemon stops pinging (and systemd restarts it); a running one resumes.
  ASSERT_EQ(kill(daemon_->pid, SIGSTOP), 0);
  messages(100ms);  // what was sent before the stop took hold
  std::vector<std::string> stopped = messages(1500ms);
  ASSERT_EQ(kill(daemon_->pid, SIGCONT), 0);
  EXPECT_TRUE(stopped.empty());
  std::vector<std::string> resumed = messages(1500ms);
  EXPECT_GE(std::count(resumed.begin(), resumed.end(), "WATCHDOG=1"), 1);
  daemon_->Stop();
  std::vector<std::string> last = messages(300ms);
  EXPECT_NE(std::find(last.begin(), last.end(), "STOPPING=1"), last.end());
  close(notify);
}

TEST_F(HardeningTest, RefusedOpenersAreLoggedOnceAndCounted) {
  StartDaemon({"--user", "4242"});
  std::vector<pid_t> openers;
  std::string path = daemon_->socketPath;
  for (int i = 0; i < 4; ++i) {
    pid_t child = fork();
    if (child == 0) {
      if (setresuid(65534, 65534, 65534) != 0) _exit(99);
      auto until = std::chrono::steady_clock::now() + 2500ms;
      int refused = 0;
      while (std::chrono::steady_clock::now() < until) {
        DeviceClient client;
        refused += client.Open(path) == ERROR_ACCESS_DENIED;
      }
      _exit(refused > 100 ? 0 : 1);
    }
    openers.push_back(child);
  }
  for (pid_t child : openers) EXPECT_EQ(WaitChild(child), 0);
  daemon_->Stop();
  std::string log = daemon_->Log();
  size_t full = 0, summaries = 0;
  long counted = 0;
  std::istringstream lines(log);
  std::regex summary("([0-9]+) more device opens refused in the last");
  for (std::string line; std::getline(lines, line);) {
    full += line.find("device open by pid") != std::string::npos;
    std::smatch match;
    if (std::regex_search(line, match, summary)) {
      ++summaries;
      counted += std::stol(match[1]);
    }
  }
  // Some 2.5 s of four openers: one line in full, the rest counted (flushed at the stop).
  EXPECT_EQ(full, 1u) << log.substr(0, 2000);
  EXPECT_EQ(summaries, 1u) << log.substr(0, 2000);
  EXPECT_GT(counted, 400);
}

TEST_F(HardeningTest, TheDeviceHasTheModeItsDocumentSays) {
  StartDaemon();
  struct stat st {};
  ASSERT_EQ(stat(daemon_->socketPath.c_str(), &st), 0);
  std::ifstream doc(QXFW_SOURCE_DIR "/docs/formats/device_protocol.md");
  std::stringstream text;
  text << doc.rdbuf();
  std::string s = text.str();
  std::smatch match;
  ASSERT_TRUE(std::regex_search(s, match, std::regex("Unix stream socket, mode (0[0-7]{3})")));
  EXPECT_EQ(st.st_mode & 07777, std::stoul(match[1], nullptr, 8));
}

}  // namespace
}  // namespace qltdifw::test
