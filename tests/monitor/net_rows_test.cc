#include "monitor/net_rows.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "monitor/running_child.h"
#include "monitor/trusted_path.h"

namespace qxfw::monitor {
namespace {

class FakeNames : public NetRowNames {
 public:
  std::optional<std::string> ProcessName(uint32_t processId) override {
    auto found = names.find(processId);
    if (found == names.end()) return std::nullopt;
    return found->second;
  }
  std::string ProgramPath(uint32_t processId) override {
    return "/usr/bin/" + ProcessName(processId).value_or("");
  }
  uint64_t StartTicks(uint32_t processId) override { return processId * 10; }
  std::string AddressName(const std::string& dotted) override {
    return dotted == "127.0.0.1" ? "localhost" : dotted;
  }
  std::string PortName(uint16_t port) override {
    return port == 80 ? "http" : std::to_string(port);
  }

  std::map<uint32_t, std::string> names{{42, "server"}, {43, "client"}, {7, "dns"}};
};

PortInfo Tcp(uint32_t pid, uint16_t localPort, uint16_t remotePort, const char* state,
             int32_t status, const char* remote = "127.0.0.1") {
  PortInfo record{};
  record.processId = pid;
  std::strcpy(record.localAddress, "127.0.0.1");
  std::strcpy(record.remoteAddress, std::strcmp(state, "Listen") == 0 ? "0.0.0.0" : remote);
  record.stateName = state;
  record.localPort = localPort;
  record.remotePort = remotePort;
  record.status = status;
  return record;
}

PortInfo Udp(uint32_t pid, uint16_t localPort, int32_t status) {
  PortInfo record{};
  record.processId = pid;
  std::strcpy(record.localAddress, "0.0.0.0");
  record.localPort = localPort;
  record.status = status;
  return record;
}

std::vector<std::string> TextsOf(const NetRow& row) {
  return {row.texts.begin(), row.texts.end()};
}

class NetRowsTest : public ::testing::Test {
 protected:
  // Refreshes and checks that the delta brings the copy to the rows.
  void Refresh(const std::vector<PortInfo>& tcp, const std::vector<PortInfo>& udp = {}) {
    NetRowsDelta delta = rows_.Refresh(tcp, udp, names_);
    ApplyDelta(copy_, std::move(delta));
    ASSERT_EQ(copy_.size(), rows_.Rows().size());
    for (size_t i = 0; i < copy_.size(); ++i) {
      EXPECT_EQ(TextsOf(copy_[i]), TextsOf(rows_.Rows()[i])) << "row " << i;
      EXPECT_EQ(copy_[i].colour, rows_.Rows()[i].colour) << "row " << i;
    }
  }
  const NetRow& Row(size_t i) const { return rows_.Rows().at(i); }

  FakeNames names_;
  CNetRows rows_;
  std::vector<NetRow> copy_;
};

TEST_F(NetRowsTest, ListenerRowTextsAndNoColourOnTheFirstRefresh) {
  Refresh({Tcp(42, 8080, 0, "Listen", kPortNew), Tcp(99, 22, 0, "Listen", kPortNew)},
          {Udp(7, 53, kPortNew)});
  ASSERT_EQ(rows_.Rows().size(), 3u);
  EXPECT_EQ(TextsOf(Row(0)),
            (std::vector<std::string>{"dns:7", "0.0.0.0:   53", "*:*", "UDP", ""}));
  EXPECT_EQ(TextsOf(Row(1)),
            (std::vector<std::string>{"n/a:99", "127.0.0.1:   22", "*:*", "TCP", "Listen"}));
  EXPECT_EQ(TextsOf(Row(2)),
            (std::vector<std::string>{"server:42", "127.0.0.1: 8080", "*:*", "TCP", "Listen"}));
  EXPECT_EQ(Row(2).programPath, "/usr/bin/server");
  EXPECT_EQ(Row(2).startTicks, 420u);
  for (const NetRow& row : rows_.Rows()) EXPECT_EQ(row.colour, NetRowColour::kNone);
}

TEST_F(NetRowsTest, ResolutionNamesAddressesAndPorts) {
  NetViewOptions options;
  options.resolveNames = true;
  rows_.SetOptions(options);
  Refresh({Tcp(43, 5000, 80, "Established", kPortNew)});
  EXPECT_EQ(Row(0).texts[1], "localhost:5000");
  EXPECT_EQ(Row(0).texts[2], "localhost:http");
}

TEST_F(NetRowsTest, NewChangedVanishedColoursAndWhenTheyClear) {
  Refresh({Tcp(42, 8080, 0, "Listen", kPortNew)});
  Refresh({Tcp(42, 8080, 0, "Listen", kPortUnchanged), Tcp(43, 5000, 8080, "Sync Sent", kPortNew)});
  ASSERT_EQ(rows_.Rows().size(), 2u);
  EXPECT_EQ(Row(0).texts[0], "client:43");
  EXPECT_EQ(Row(0).colour, NetRowColour::kNew);
  EXPECT_EQ(ColoursOf(NetRowColour::kNew)->background, 0x8AFE2Fu);

  Refresh({Tcp(42, 8080, 0, "Listen", kPortUnchanged),
           Tcp(43, 5000, 8080, "Established", kPortStateChanged)});
  EXPECT_EQ(Row(0).colour, NetRowColour::kStateChanged);
  EXPECT_EQ(Row(0).texts[4], "Established");

  Refresh({Tcp(42, 8080, 0, "Listen", kPortUnchanged),
           Tcp(43, 5000, 8080, "Established", kPortUnchanged)});
  EXPECT_EQ(Row(0).colour, NetRowColour::kNone);

  Refresh({Tcp(42, 8080, 0, "Listen", kPortUnchanged),
           Tcp(43, 5000, 8080, "Established", kPortVanished)},
          {Udp(7, 53, kPortNew)});
  EXPECT_EQ(Row(0).colour, NetRowColour::kTcpVanished);
  EXPECT_EQ(ColoursOf(NetRowColour::kTcpVanished)->text, 0xFFFFFFu);
  EXPECT_EQ(ColoursOf(NetRowColour::kTcpVanished)->background, 0xF50E0Eu);

  Refresh(
      {Tcp(42, 8080, 0, "Listen", kPortUnchanged), Tcp(43, 5000, 8080, "Established", kPortGone)},
      {Udp(7, 53, kPortVanished)});
  ASSERT_EQ(rows_.Rows().size(), 2u);
  EXPECT_EQ(Row(0).texts[0], "dns:7");
  EXPECT_EQ(Row(0).colour, NetRowColour::kUdpVanished);
  EXPECT_EQ(ColoursOf(NetRowColour::kUdpVanished)->text, 0x000000u);
  EXPECT_EQ(Row(1).texts[0], "server:42");
}

TEST_F(NetRowsTest, StateChangeKeepsTheRowWhileBothProtocolsAreShown) {
  NetViewOptions options;
  options.statusFilter = 1;  // ignored while UDP is shown too
  rows_.SetOptions(options);
  Refresh({Tcp(43, 5000, 8080, "Sync Sent", kPortNew)});
  Refresh({Tcp(43, 5000, 8080, "Established", kPortStateChanged)});
  ASSERT_EQ(rows_.Rows().size(), 1u);
  EXPECT_EQ(Row(0).texts[4], "Established");
  EXPECT_EQ(Row(0).colour, NetRowColour::kStateChanged);
}

TEST_F(NetRowsTest, StatusFilterWithTcpAloneHidesOtherStatesAndFollowsChanges) {
  NetViewOptions options;
  options.showUdp = false;
  options.statusFilter = 1;
  rows_.SetOptions(options);
  Refresh({Tcp(42, 8080, 0, "Listen", kPortNew), Tcp(43, 5000, 8080, "Established", kPortNew)},
          {Udp(7, 53, kPortNew)});
  ASSERT_EQ(rows_.Rows().size(), 1u);
  EXPECT_EQ(Row(0).texts[4], "Listen");
  // Leaving the filtered state removes the row at the refresh that sees the change...
  Refresh({Tcp(42, 8080, 0, "Close Wait", kPortStateChanged, "0.0.0.0"),
           Tcp(43, 5000, 8080, "Established", kPortUnchanged)});
  EXPECT_TRUE(rows_.Rows().empty());
  // ...and entering it shows one the filter hid.
  Refresh({Tcp(42, 8080, 0, "Close Wait", kPortUnchanged, "0.0.0.0"),
           Tcp(43, 5000, 8080, "Listen", kPortStateChanged)});
  ASSERT_EQ(rows_.Rows().size(), 1u);
  EXPECT_EQ(Row(0).texts[0], "client:43");
}

TEST_F(NetRowsTest, OptionChangeRebuildsWithoutColours) {
  Refresh({Tcp(42, 8080, 0, "Listen", kPortNew)}, {Udp(7, 53, kPortNew)});
  NetViewOptions options = rows_.Options();
  ToggleUdp(&options);
  rows_.SetOptions(options);
  EXPECT_TRUE(rows_.RebuildPending());
  // The caller empties the managed lists, so every record comes again as new.
  Refresh({Tcp(42, 8080, 0, "Listen", kPortNew)}, {Udp(7, 53, kPortNew)});
  ASSERT_EQ(rows_.Rows().size(), 1u);
  EXPECT_EQ(Row(0).colour, NetRowColour::kNone);
  EXPECT_EQ(rows_.RefreshCount(), 1);
}

TEST(NetViewOptionsTest, ToggleRulesKeepOneKindShown) {
  NetViewOptions options;
  ToggleTcp(&options);
  EXPECT_FALSE(options.showTcp);
  EXPECT_TRUE(options.showUdp);
  ToggleUdp(&options);  // UDP alone: switches to TCP alone
  EXPECT_TRUE(options.showTcp);
  EXPECT_FALSE(options.showUdp);
  EXPECT_TRUE(StatusFilterEnabled(options));
  ToggleTcp(&options);  // TCP alone: switches to UDP alone
  EXPECT_FALSE(options.showTcp);
  EXPECT_TRUE(options.showUdp);
  EXPECT_FALSE(StatusFilterEnabled(options));
  ToggleTcp(&options);
  EXPECT_TRUE(options.showTcp && options.showUdp);
  EXPECT_FALSE(StatusFilterEnabled(options));
}

TEST_F(NetRowsTest, NewRowsGoInSortOrder) {
  NetViewOptions options;
  options.sortColumn = 3;
  rows_.SetOptions(options);
  Refresh({Tcp(43, 5000, 8080, "Established", kPortNew)}, {Udp(7, 53, kPortNew)});
  Refresh(
      {Tcp(43, 5000, 8080, "Established", kPortUnchanged), Tcp(42, 8080, 0, "Listen", kPortNew)},
      {Udp(7, 53, kPortUnchanged), Udp(7, 54, kPortNew)});
  ASSERT_EQ(rows_.Rows().size(), 4u);
  EXPECT_EQ(Row(0).texts[3], "TCP");
  EXPECT_EQ(Row(1).texts[3], "TCP");
  EXPECT_EQ(Row(1).texts[0], "server:42");  // after the equal row already shown
  EXPECT_EQ(Row(2).texts[3], "UDP");
  EXPECT_EQ(Row(3).texts[1], "0.0.0.0:   54");

  options.sortColumn = 0;
  options.ascending = false;
  rows_.SetOptions(options);
  Refresh({Tcp(43, 5000, 8080, "Established", kPortNew), Tcp(42, 8080, 0, "Listen", kPortNew)},
          {Udp(7, 53, kPortNew)});
  EXPECT_EQ(Row(0).texts[0], "server:42");
  EXPECT_EQ(Row(1).texts[0], "dns:7");
  EXPECT_EQ(Row(2).texts[0], "client:43");
}

// Random churn: the delta must always bring the copy (the list control) to the rows, and a
// row found by its key stays the same connection whatever moved around it.
TEST_F(NetRowsTest, DeltasKeepTheCopyInStepUnderChurn) {
  std::mt19937 random(7);
  std::map<uint16_t, int> live;  // local port -> refreshes since it vanished (-1: present)
  NetRowKey watched;
  bool watching = false;
  for (int round = 0; round < 60; ++round) {
    std::vector<PortInfo> tcp;
    for (auto it = live.begin(); it != live.end();) {
      if (it->second >= 0) {
        int32_t status = it->second == 0 ? kPortVanished : kPortGone;
        tcp.push_back(Tcp(43, it->first, 80, "Established", status));
        if (++it->second > 1) {
          it = live.erase(it);
          continue;
        }
      } else if (random() % 10 == 0) {
        it->second = 0;
        tcp.push_back(Tcp(43, it->first, 80, "Established", kPortVanished));
        it->second = 1;
      } else {
        tcp.push_back(Tcp(43, it->first, 80, "Established", kPortUnchanged));
      }
      ++it;
    }
    for (int n = 0; n < 5; ++n) {
      uint16_t port = static_cast<uint16_t>(1000 + random() % 500);
      if (live.count(port) != 0) continue;
      live[port] = -1;
      tcp.push_back(Tcp(43, port, 80, "Established", kPortNew));
    }
    ASSERT_NO_FATAL_FAILURE(Refresh(tcp));
    if (!watching && !rows_.Rows().empty()) {
      watched = KeyOf(Row(rows_.Rows().size() / 2));
      watching = true;
    }
    if (watching) {
      int at = FindRow(copy_, watched);
      if (at >= 0) {
        EXPECT_TRUE(KeyOf(copy_[at]) == watched);
      }
    }
    for (size_t i = 1; i < rows_.Rows().size(); ++i) {
      EXPECT_LE(strcasecmp(Row(i - 1).texts[0].c_str(), Row(i).texts[0].c_str()), 0);
    }
  }
}

TEST(WhoisTargetTest, MenuRuleAndDottedQuadCheck) {
  EXPECT_TRUE(WhoisEntryEnabled("93.184.216.34"));
  EXPECT_TRUE(WhoisEntryEnabled("www.example.com"));
  EXPECT_FALSE(WhoisEntryEnabled("localhost"));
  EXPECT_FALSE(WhoisEntryEnabled("host.example.local"));
  EXPECT_EQ(WhoisRefusal("93.184.216.34"), 0);
  EXPECT_EQ(WhoisRefusal("255.255.255.255"), 0);
  EXPECT_EQ(WhoisRefusal("256.1.1.1"), 190);
  EXPECT_EQ(WhoisRefusal("1.2.3"), 190);
  EXPECT_EQ(WhoisRefusal("1..2.3"), 190);
  EXPECT_EQ(WhoisRefusal("1.2.3.4.5"), 190);
  EXPECT_EQ(WhoisRefusal("www.example.com"), 190);
  EXPECT_EQ(WhoisRefusal("mail.example.co.kr"), 198);
}

TEST(EndShownProcessTest, EndsOnlyTheProcessThatWasShown) {
  test_support::RunningChild child("/bin/sleep");
  ASSERT_TRUE(child.Running());
  uint64_t start = ProcessStartTicks(child.pid());
  ASSERT_NE(start, 0u);
  // Another start time means the id now belongs to another process: it is left alone.
  EXPECT_EQ(EndShownProcess(static_cast<uint32_t>(child.pid()), start + 1), EndShownResult::kGone);
  usleep(50 * 1000);
  EXPECT_TRUE(child.Running());
  EXPECT_EQ(EndShownProcess(static_cast<uint32_t>(child.pid()), start), EndShownResult::kEnded);
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = !child.Running();
    if (!ended) usleep(10 * 1000);
  }
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace qxfw::monitor
