#include "monitor/mng_port_list.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "monitor/loopback_sockets.h"

namespace qxfw::monitor {
namespace {

using test_support::BoundSocket;
using test_support::ConnectLoopback;
using test_support::LocalPortOf;

std::unique_ptr<CPortList> OwnList(bool tcp) {
  return std::make_unique<CPortList>(tcp, nullptr, CPortList::Road::kUnchosen);
}

// Records of this process on the given local port: "local port>remote port" -> record.
std::map<std::string, PortInfo> OwnRecordsOn(CMngPortList& list, std::vector<uint16_t> ports) {
  std::map<std::string, PortInfo> found;
  while (list.MoveNext()) {
    PortInfo record;
    EXPECT_TRUE(list.GetCurrent(&record));
    EXPECT_EQ(list.Status(), record.status);
    if (record.processId != static_cast<uint32_t>(getpid())) continue;
    for (uint16_t port : ports) {
      if (record.localPort == port) {
        found[std::to_string(record.localPort) + ">" + std::to_string(record.remotePort)] = record;
      }
    }
  }
  return found;
}

std::map<std::string, int> Statuses(const std::map<std::string, PortInfo>& records) {
  std::map<std::string, int> statuses;
  for (const auto& [key, record] : records) statuses[key] = record.status;
  return statuses;
}

TEST(MngPortList, ClosedConnectionsAgeThroughStatusesOneAndTwoThenVanish) {
  auto connection = ConnectLoopback();
  ASSERT_TRUE(connection.Valid());
  auto& [listener, client, server, serverPort, clientPort] = connection;
  std::string s = std::to_string(serverPort), c = std::to_string(clientPort);
  std::vector<uint16_t> ports = {serverPort, clientPort};

  CMngPortList list(OwnList(true));
  list.Refresh();
  auto records = OwnRecordsOn(list, ports);
  EXPECT_EQ(Statuses(records),
            (std::map<std::string, int>{
                {s + ">0", kPortNew}, {s + ">" + c, kPortNew}, {c + ">" + s, kPortNew}}));
  EXPECT_STREQ(records[s + ">0"].stateName, "Listen");
  EXPECT_STREQ(records[s + ">0"].remoteAddress, "0.0.0.0");
  EXPECT_STREQ(records[c + ">" + s].localAddress, "127.0.0.1");

  list.Refresh();
  EXPECT_EQ(Statuses(OwnRecordsOn(list, ports)),
            (std::map<std::string, int>{{s + ">0", kPortUnchanged},
                                        {s + ">" + c, kPortUnchanged},
                                        {c + ">" + s, kPortUnchanged}}));

  // Reset instead of an orderly close, so no orphaned socket keeps a row.
  linger hard{1, 0};
  setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  client.Reset();
  server.Reset();
  listener.Reset();
  list.Refresh();
  EXPECT_EQ(
      Statuses(OwnRecordsOn(list, ports)),
      (std::map<std::string, int>{
          {s + ">0", kPortVanished}, {s + ">" + c, kPortVanished}, {c + ">" + s, kPortVanished}}));
  list.Refresh();
  EXPECT_EQ(Statuses(OwnRecordsOn(list, ports)),
            (std::map<std::string, int>{
                {s + ">0", kPortGone}, {s + ">" + c, kPortGone}, {c + ">" + s, kPortGone}}));
  list.Refresh();
  EXPECT_TRUE(OwnRecordsOn(list, ports).empty()) << "removed at the third refresh without them";
}

TEST(MngPortList, StateChangeOfTheSameConnectionGivesStatusZeroOnce) {
  auto connection = ConnectLoopback();
  ASSERT_TRUE(connection.Valid());
  auto& [listener, client, server, serverPort, clientPort] = connection;
  std::string key = std::to_string(serverPort) + ">" + std::to_string(clientPort);

  CMngPortList list(OwnList(true));
  list.Refresh();
  ASSERT_EQ(shutdown(client.Get(), SHUT_WR), 0);
  PortInfo record{};
  ASSERT_TRUE(test_support::WaitFor([&] {
    list.Refresh();
    auto records = OwnRecordsOn(list, {serverPort});
    record = records[key];
    return record.stateName != nullptr && std::string(record.stateName) == "Close Wait";
  }));
  EXPECT_EQ(record.status, kPortStateChanged);
  list.Refresh();
  EXPECT_EQ(OwnRecordsOn(list, {serverPort})[key].status, kPortUnchanged);
}

TEST(MngPortList, EndpointThatReappearsBeforeRemovalIsMatchedAgain) {
  auto udp = BoundSocket(SOCK_DGRAM, 0);
  ASSERT_TRUE(udp.Valid());
  uint16_t port = LocalPortOf(udp.Get());
  std::string key = std::to_string(port) + ">0";

  CMngPortList list(OwnList(false));
  list.Refresh();
  auto records = OwnRecordsOn(list, {port});
  EXPECT_EQ(records[key].status, kPortNew);
  EXPECT_EQ(records[key].stateName, nullptr);
  EXPECT_STREQ(records[key].remoteAddress, "");
  udp.Reset();
  list.Refresh();
  EXPECT_EQ(OwnRecordsOn(list, {port})[key].status, kPortVanished);
  udp = BoundSocket(SOCK_DGRAM, port);
  ASSERT_TRUE(udp.Valid());
  list.Refresh();
  EXPECT_EQ(Statuses(OwnRecordsOn(list, {port})), (std::map<std::string, int>{{key, 3}}));
}

TEST(MngPortList, IdenticalRowsShareOneRecord) {
  auto first = BoundSocket(SOCK_DGRAM, 0, true);
  ASSERT_TRUE(first.Valid());
  uint16_t port = LocalPortOf(first.Get());
  auto second = BoundSocket(SOCK_DGRAM, port, true);
  ASSERT_TRUE(second.Valid());
  CMngPortList list(OwnList(false));
  list.Refresh();
  int matching = 0;
  while (list.MoveNext()) {
    PortInfo record;
    list.GetCurrent(&record);
    if (record.localPort == port && record.processId == static_cast<uint32_t>(getpid())) {
      ++matching;
      // The second row of the walk matched the record that the first one made.
      EXPECT_EQ(record.status, kPortUnchanged);
    }
  }
  EXPECT_EQ(matching, 1);
}

TEST(MngPortList, CursorStopsAtTheEndUntilRefreshOrRemoveAll) {
  auto udp = BoundSocket(SOCK_DGRAM, 0);
  ASSERT_TRUE(udp.Valid());
  CMngPortList list(OwnList(false));
  PortInfo record;
  EXPECT_FALSE(list.MoveNext());
  EXPECT_FALSE(list.GetCurrent(&record));
  EXPECT_EQ(list.Status(), -1);

  list.Refresh();
  size_t count = 0;
  while (list.MoveNext()) ++count;
  EXPECT_EQ(count, list.Count());
  EXPECT_FALSE(list.MoveNext()) << "stays at the end";
  EXPECT_EQ(list.Status(), -1);
  list.Refresh();
  EXPECT_TRUE(list.MoveNext()) << "a refresh starts over";

  list.RemoveAll();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_FALSE(list.MoveNext());
  list.Refresh();
  EXPECT_TRUE(list.MoveNext());
  EXPECT_EQ(list.Status(), kPortNew) << "after RemoveAll every record is new again";
}

}  // namespace
}  // namespace qxfw::monitor
