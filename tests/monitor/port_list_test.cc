#include "monitor/port_list.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "monitor/loopback_sockets.h"
#include "platform/debug_output.h"

namespace qxfw::monitor {
namespace {

using test_support::ConnectLoopback;
using test_support::LocalPortOf;
using test_support::TcpListener;
using test_support::WaitFor;

struct Row {
  uint32_t pid;
  std::string local;
  uint16_t localPort;
  std::string remote;
  uint16_t remotePort;
  std::string state;  // "-" when the list gives no state name
  auto Tie() const { return std::tie(pid, local, localPort, remote, remotePort, state); }
  bool operator<(const Row& other) const { return Tie() < other.Tie(); }
  bool operator==(const Row& other) const { return Tie() == other.Tie(); }
};

std::vector<Row> Walk(CPortList& list) {
  std::vector<Row> rows;
  while (list.MoveNext()) {
    const char* state = list.StateName();
    rows.push_back({list.ProcessId(), list.LocalAddress(), list.LocalPort(), list.RemoteAddress(),
                    list.RemotePort(), state != nullptr ? state : "-"});
  }
  return rows;
}

std::vector<Row> RefreshAndWalk(CPortList& list) {
  list.Refresh();
  return Walk(list);
}

// Rows touching any of the given local ports. Time-wait entries are left out unless asked
// for: an ephemeral port may still carry one from an earlier connection of another test.
std::vector<Row> RowsOnPorts(const std::vector<Row>& rows, std::set<uint16_t> ports,
                             bool withTimeWait = false) {
  std::vector<Row> found;
  for (const Row& row : rows) {
    if (!withTimeWait && row.state == "Time Wait") continue;
    if (ports.count(row.localPort) != 0) found.push_back(row);
  }
  std::sort(found.begin(), found.end());
  return found;
}

CIpResolver::LookupFunction InstantLookup() {
  return [](uint32_t) { return std::optional<std::string>("host.test"); };
}

class PortListRoads : public ::testing::TestWithParam<CPortList::Road> {};

TEST_P(PortListRoads, TcpTableShowsOwnListenerAndBothEndsWithStates) {
  auto connection = ConnectLoopback();
  ASSERT_TRUE(connection.Valid());
  auto& [listener, client, server, serverPort, clientPort] = connection;

  CIpResolver resolver(InstantLookup());
  CPortList list(true, &resolver, GetParam());
  auto rows = RowsOnPorts(RefreshAndWalk(list), {serverPort, clientPort});
  EXPECT_EQ(list.road(), GetParam());

  uint32_t self = static_cast<uint32_t>(getpid());
  std::vector<Row> expected = {
      {self, "127.0.0.1", serverPort, "0.0.0.0", 0, "Listen"},
      {self, "127.0.0.1", serverPort, "127.0.0.1", clientPort, "Established"},
      {self, "127.0.0.1", clientPort, "127.0.0.1", serverPort, "Established"},
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(rows, expected);
  // Walking a TCP list queues the addresses it passes with the resolver.
  EXPECT_FALSE(resolver.Queue(htonl(INADDR_LOOPBACK)));
  EXPECT_FALSE(resolver.Queue(htonl(INADDR_ANY)));
}

TEST_P(PortListRoads, HalfClosedAndTimeWaitConnectionsGetTheirStateNames) {
  auto connection = ConnectLoopback();
  ASSERT_TRUE(connection.Valid());
  auto& [listener, client, server, serverPort, clientPort] = connection;
  uint32_t self = static_cast<uint32_t>(getpid());

  CPortList list(true, nullptr, GetParam());
  ASSERT_EQ(shutdown(client.Get(), SHUT_WR), 0);
  const Row finWait2{self, "127.0.0.1", clientPort, "127.0.0.1", serverPort, "Fin Wait2"};
  const Row closeWait{self, "127.0.0.1", serverPort, "127.0.0.1", clientPort, "Close Wait"};
  std::vector<Row> rows;
  EXPECT_TRUE(WaitFor([&] {
    rows = RowsOnPorts(RefreshAndWalk(list), {clientPort, serverPort});
    return std::count(rows.begin(), rows.end(), finWait2) == 1 &&
           std::count(rows.begin(), rows.end(), closeWait) == 1;
  }));

  // The client closes last after the server's FIN: a time-wait entry that nobody owns.
  server.Reset();
  const Row timeWait{0, "127.0.0.1", clientPort, "127.0.0.1", serverPort, "Time Wait"};
  EXPECT_TRUE(WaitFor([&] {
    rows = RowsOnPorts(RefreshAndWalk(list), {clientPort}, true);
    return std::count(rows.begin(), rows.end(), timeWait) == 1;
  }));
}

TEST_P(PortListRoads, UdpRowsHaveOwnerButNoRemoteEndOrState) {
  auto udp = test_support::BoundSocket(SOCK_DGRAM, 0);
  ASSERT_TRUE(udp.Valid());
  uint16_t port = LocalPortOf(udp.Get());

  CIpResolver resolver(InstantLookup());
  CPortList list(false, &resolver, GetParam());
  auto rows = RowsOnPorts(RefreshAndWalk(list), {port});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (Row{static_cast<uint32_t>(getpid()), "127.0.0.1", port, "", 0, "-"}));
  EXPECT_EQ(resolver.CacheSize(), 0u) << "a UDP list queues nothing";
}

INSTANTIATE_TEST_SUITE_P(BothRoads, PortListRoads,
                         ::testing::Values(CPortList::Road::kSockDiag, CPortList::Road::kProcNet),
                         [](const auto& info) {
                           return info.param == CPortList::Road::kSockDiag ? "SockDiag" : "ProcNet";
                         });

TEST(PortList, BothRoadsGiveTheSameRowsForOwnSockets) {
  std::vector<test_support::LoopbackConnection> connections;
  std::set<uint16_t> ports;
  for (int i = 0; i < 3; ++i) {
    connections.push_back(ConnectLoopback());
    ASSERT_TRUE(connections.back().Valid());
    ports.insert(connections.back().serverPort);
    ports.insert(connections.back().clientPort);
  }
  CPortList viaNetlink(true, nullptr, CPortList::Road::kSockDiag);
  CPortList viaProc(true, nullptr, CPortList::Road::kProcNet);
  auto netlinkRows = RowsOnPorts(RefreshAndWalk(viaNetlink), ports);
  auto procRows = RowsOnPorts(RefreshAndWalk(viaProc), ports);
  EXPECT_EQ(netlinkRows.size(), 9u);
  EXPECT_EQ(netlinkRows, procRows);
  // Both roads hand out rows sorted by local then remote end, as numbers.
  viaNetlink.Refresh();
  std::vector<std::pair<uint32_t, uint16_t>> order;
  for (uint32_t i = 0; i < viaNetlink.RowCount(); ++i) {
    tagTCP_ROW row;
    std::memcpy(&row, viaNetlink.Snapshot().data() + 1 + i * 6, sizeof(row));
    order.emplace_back(ntohl(row.dwLocalAddr), ntohs(static_cast<uint16_t>(row.dwLocalPort)));
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(PortList, FirstRefreshChoosesNetlinkRoadAndSnapshotKeepsNetworkOrderPorts) {
  auto listener = TcpListener();
  ASSERT_TRUE(listener.Valid());
  uint16_t port = LocalPortOf(listener.Get());
  CPortList list(true, nullptr, CPortList::Road::kUnchosen);
  EXPECT_EQ(list.road(), CPortList::Road::kUnchosen);
  list.Refresh();
  EXPECT_EQ(list.road(), CPortList::Road::kSockDiag);

  const std::vector<uint32_t>& words = list.Snapshot();
  ASSERT_EQ(words.size(), 1 + 6 * static_cast<size_t>(words[0]));
  int listeners = 0;
  for (uint32_t i = 0; i < words[0]; ++i) {
    const uint32_t* row = words.data() + 1 + 6 * i;
    if (row[2] == htons(port) && row[0] == 2) {
      ++listeners;
      EXPECT_EQ(row[1], htonl(INADDR_LOOPBACK));
      EXPECT_EQ(row[5], static_cast<uint32_t>(getpid()));
    }
  }
  EXPECT_EQ(listeners, 1);
}

TEST(PortList, CursorRunsOnceThroughRowsThenStartsOver) {
  auto udp = test_support::BoundSocket(SOCK_DGRAM, 0);
  ASSERT_TRUE(udp.Valid());
  CPortList list(false, nullptr, CPortList::Road::kUnchosen);
  EXPECT_FALSE(list.MoveNext()) << "no rows before the first refresh";
  EXPECT_EQ(list.ProcessId(), 0u);
  EXPECT_EQ(list.LocalAddress(), "");

  list.Refresh();
  size_t first = Walk(list).size();
  EXPECT_GE(first, 1u);
  // Past the end the accessors have no row, and the next walk starts at the first row again.
  EXPECT_EQ(list.LocalPort(), 0);
  EXPECT_EQ(list.StateName(), nullptr);
  EXPECT_EQ(Walk(list).size(), first);
}

TEST(PortList, StateNamesOfLinuxStates) {
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(10)), "Listen");
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(2)), "Sync Sent");
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(12)), "Sync Rcvd");
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(11)), "Closing");
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(9)), "Last Ack");
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(7)), "Closed");
  // Out of range on either side: the "invalid" name rather than a read past the table.
  EXPECT_STREQ(TcpStateName(TcpStateFromLinux(13)), "InValid");
  EXPECT_STREQ(TcpStateName(99), "InValid");
}

TEST(PortList, ServiceNameFromServicesDatabaseOrNumberAndSafeAcrossThreads) {
  EXPECT_EQ(CPortList::ServiceName(65000), "65000");
  std::string ssh = CPortList::ServiceName(22);
  std::string http = CPortList::ServiceName(80);
  if (ssh == "22") GTEST_SKIP() << "no services database entry for port 22";
  EXPECT_EQ(ssh, "ssh");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        bool even = (i + t) % 2 == 0;
        if (CPortList::ServiceName(even ? 22 : 80) != (even ? ssh : http)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(PortList, ResolveAddressGivesTextUntilTheResolverHasAName) {
  CIpResolver resolver(InstantLookup());
  CPortList list(true, &resolver, CPortList::Road::kUnchosen);
  EXPECT_EQ(list.ResolveAddress("127.0.0.2"), "127.0.0.2");
  EXPECT_TRUE(WaitFor([&] { return list.ResolveAddress("127.0.0.2") == "host.test"; }));
  EXPECT_EQ(list.ResolveAddress("not an address"), "not an address");
  EXPECT_EQ(resolver.CacheSize(), 1u);
}

TEST(PortList, EndConnectionOfUnknownConnectionFailsWithDebugLine) {
  platform::ScopedDebugCapture capture;
  CPortList list(true, nullptr, CPortList::Road::kUnchosen);
  // Nothing listens or connects between these ports.
  auto udp = test_support::BoundSocket(SOCK_DGRAM, 0);
  uint16_t unused = LocalPortOf(udp.Get());
  EXPECT_FALSE(list.EndConnection("127.0.0.1", unused, "127.0.0.1", unused));
  EXPECT_TRUE(capture.Contains("[QXFW]CPortList::EndConnection: Falied to EndConnection"));
}

// Runs body in a child without CAP_NET_ADMIN when we are root, else right here; body returns
// 0 when everything held.
int WithoutNetAdmin(const std::function<int()>& body) {
  if (geteuid() != 0) return body();
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 91;
  return WEXITSTATUS(status);
}

TEST(PortList, EndConnectionAsksTheHelperWhenTheKernelRefuses) {
  auto connection = ConnectLoopback();
  ASSERT_TRUE(connection.Valid());
  auto& [listener, client, server, serverPort, clientPort] = connection;

  int result = WithoutNetAdmin([&] {
    CPortList list(true, nullptr, CPortList::Road::kUnchosen);
    if (list.EndConnection("127.0.0.1", serverPort, "127.0.0.1", clientPort)) return 1;
    std::vector<uint32_t> asked;
    CPortList::SetEndConnectionHelper([&](uint32_t la, uint16_t lp, uint32_t ra, uint16_t rp) {
      asked = {la, lp, ra, rp};
      return true;
    });
    bool ended = list.EndConnection("127.0.0.1", serverPort, "127.0.0.1", clientPort);
    CPortList::SetEndConnectionHelper(nullptr);
    if (!ended) return 2;
    std::vector<uint32_t> expected = {htonl(INADDR_LOOPBACK), htons(serverPort),
                                      htonl(INADDR_LOOPBACK), htons(clientPort)};
    return asked == expected ? 0 : 3;
  });
  EXPECT_EQ(result, 0) << "1: ended without the right, 2: helper not used, 3: wrong tuple";
}

}  // namespace
}  // namespace qxfw::monitor
