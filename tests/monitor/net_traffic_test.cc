#include "monitor/net_traffic.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

using test_support::TempDir;

constexpr char kHeading[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

std::string Line(const std::string& name, uint64_t received, uint64_t sent) {
  return "  " + name + ": " + std::to_string(received) + " 37 0 0 0 0 0 0 " + std::to_string(sent) +
         " 37 0 0 0 0 0 0\n";
}

class NetTrafficTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = dir_.path() + "/dev";
    sys_ = dir_.path() + "/net";
    std::filesystem::create_directories(sys_ + "/eth0");
    std::filesystem::create_directories(sys_ + "/lo");
    Write(sys_ + "/eth0/speed", "1000\n");
    Write(sys_ + "/lo/speed", "-1\n");
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
  }
  void Counters(const std::string& lines) { Write(dev_, kHeading + lines); }

  TempDir dir_;
  std::string dev_;
  std::string sys_;
};

TEST_F(NetTrafficTest, LoopbackDevicesAreNotNetworkTraffic) {
  std::filesystem::create_directories(sys_ + "/lo2");
  Write(sys_ + "/lo2/flags", "0x9\n");  // up, loopback
  Write(sys_ + "/eth0/flags", "0x1003\n");
  Counters(Line("lo", 100, 100) + Line("lo2", 1, 1) + Line("eth0", 5000, 700));
  MFNetTraffic traffic(dev_, sys_);
  EXPECT_EQ(traffic.FirstExternalInterface(), 2);
  Counters(Line("lo", 100, 100));
  EXPECT_EQ(MFNetTraffic(dev_, sys_).FirstExternalInterface(), -1);
}

TEST_F(NetTrafficTest, ListsInterfacesInFileOrderWithTheirSpeed) {
  Counters(Line("lo", 100, 100) + Line("eth0", 5000, 700) + Line("wlan0", 0, 0));
  MFNetTraffic traffic(dev_, sys_);
  ASSERT_EQ(traffic.InterfaceCount(), 3);
  EXPECT_EQ(traffic.InterfaceName(0), "lo");
  EXPECT_EQ(traffic.InterfaceName(1), "eth0");
  EXPECT_EQ(traffic.InterfaceName(2), "wlan0");
  EXPECT_EQ(traffic.InterfaceBandwidth(1), 1000000000u);
  EXPECT_EQ(traffic.InterfaceBandwidth(0), 0u);  // "-1": no speed
  EXPECT_EQ(traffic.InterfaceBandwidth(2), 0u);  // no sysfs entry
  EXPECT_EQ(traffic.InterfaceName(3), "");
  EXPECT_EQ(traffic.InterfaceBandwidth(-1), 0u);
}

TEST_F(NetTrafficTest, SamplesGiveGrowthOfTheSelectedCounter) {
  Counters(Line("lo", 100, 100) + Line("eth0", 5000, 700));
  MFNetTraffic traffic(dev_, sys_);
  EXPECT_EQ(traffic.Sample(1), 0);  // primes: never the absolute value
  Counters(Line("lo", 900, 900) + Line("eth0", 6536, 1200));
  EXPECT_EQ(traffic.Sample(1), 1536 + 500);  // total by default
  EXPECT_EQ(traffic.RawValue(0), 1800u);     // other interfaces' raw values follow along

  traffic.SetCounterType(MFNetTraffic::kReceivedBytes);
  EXPECT_EQ(traffic.Sample(1), 0);  // the old value belonged to the total
  Counters(Line("lo", 900, 900) + Line("eth0", 8000, 1300));
  EXPECT_EQ(traffic.Sample(1), 8000 - 6536);

  traffic.SetCounterType(MFNetTraffic::kSentBytes);
  traffic.Sample(1);
  Counters(Line("lo", 900, 900) + Line("eth0", 8000, 1400));
  EXPECT_EQ(traffic.Sample(1), 100);
  EXPECT_EQ(traffic.RawValue(1), 1400u);

  traffic.SetCounterType(7);  // anything else: total
  EXPECT_EQ(traffic.CounterType(), MFNetTraffic::kTotalBytes);
}

TEST_F(NetTrafficTest, SwitchingInterfaceOrCounterGoingDownGivesZero) {
  Counters(Line("lo", 100, 100) + Line("eth0", 5000, 700));
  MFNetTraffic traffic(dev_, sys_);
  traffic.Sample(1);
  Counters(Line("lo", 300, 300) + Line("eth0", 6000, 700));
  EXPECT_EQ(traffic.Sample(0), 0);  // another interface: primes that one
  Counters(Line("lo", 400, 300) + Line("eth0", 7000, 700));
  EXPECT_EQ(traffic.Sample(0), 100);
  EXPECT_EQ(traffic.Sample(1), 0);
  Counters(Line("lo", 400, 300) + Line("eth0", 10, 0));  // re-created interface
  EXPECT_EQ(traffic.Sample(1), 0);
  Counters(Line("lo", 400, 300) + Line("eth0", 1034, 0));
  EXPECT_EQ(traffic.Sample(1), 1024);
}

TEST_F(NetTrafficTest, LargeCountersAreNotCutTo32Bits) {
  const uint64_t big = 0x1'0000'0000ull * 5;
  Counters(Line("eth0", big, 0));
  MFNetTraffic traffic(dev_, sys_);
  traffic.SetCounterType(MFNetTraffic::kReceivedBytes);
  traffic.Sample(0);
  Counters(Line("eth0", big + 4096, 0));
  EXPECT_EQ(traffic.Sample(0), 4096);
  EXPECT_EQ(traffic.RawValue(0), big + 4096);
}

TEST_F(NetTrafficTest, FailuresAndDamagedText) {
  {
    MFNetTraffic missing(dir_.path() + "/none", sys_);
    EXPECT_EQ(missing.InterfaceCount(), 0);
    EXPECT_LT(missing.Sample(0), 0);  // unreadable counters: no traffic, never a rate of 1
    EXPECT_EQ(missing.RawValue(0), 0u);
  }
  Counters("  eth0: 1 2 3\n" + Line("ok0", 1, 1) + "  bad0: 12x 0 0 0 0 0 0 0 5 0 0 0 0 0 0 0\n" +
           "  : 1 2 3 4 5 6 7 8 9 10\n" + "  " + std::string(300, 'n') + ": 1 0 0 0 0 0 0 0 1\n" +
           "  huge: 99999999999999999999999 0 0 0 0 0 0 0 1\n" + "  last: 7 0 0 0 0 0 0 0 9");
  MFNetTraffic traffic(dev_, sys_);
  ASSERT_EQ(traffic.InterfaceCount(), 2);
  EXPECT_EQ(traffic.InterfaceName(0), "ok0");
  EXPECT_EQ(traffic.InterfaceName(1), "last");  // no final line feed
  EXPECT_EQ(traffic.Sample(5), 0);              // no such interface
  EXPECT_EQ(traffic.RawValue(1), 16u);

  Counters(Line("ok0", 1, 1));  // "last" has gone
  EXPECT_EQ(traffic.Sample(1), 0);
  Write(sys_ + "/eth0/speed", "fast\n");
  Counters(Line("eth0", 1, 1));
  EXPECT_EQ(MFNetTraffic(dev_, sys_).InterfaceBandwidth(0), 0u);
}

TEST_F(NetTrafficTest, EnvironmentNamesTheSources) {
  Counters(Line("eth0", 1, 2));
  test_support::ScopedEnv dev("QXFW_PROC_NET_DEV", dev_);
  test_support::ScopedEnv sys("QXFW_SYSFS_NET", sys_);
  MFNetTraffic traffic;
  ASSERT_EQ(traffic.InterfaceCount(), 1);
  EXPECT_EQ(traffic.InterfaceBandwidth(0), 1000000000u);
}

TEST(NetTrafficLiveTest, ReadsThisMachinesCounters) {
  MFNetTraffic traffic("/proc/net/dev", "/sys/class/net");
  ASSERT_GT(traffic.InterfaceCount(), 0);
  int lo = -1;
  for (int i = 0; i < traffic.InterfaceCount(); ++i) {
    if (traffic.InterfaceName(i) == "lo") lo = i;
  }
  ASSERT_GE(lo, 0);
  EXPECT_EQ(traffic.Sample(lo), 0);
  EXPECT_GE(traffic.Sample(lo), 0);
}

}  // namespace
}  // namespace qxfw::monitor
