#include "monitor/ip_resolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "monitor/loopback_sockets.h"
#include "platform/debug_output.h"

namespace qxfw::monitor {
namespace {

using namespace std::chrono_literals;
using test_support::WaitFor;

uint32_t Address(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

TEST(IpResolver, QueuingTheSameAddressTwiceKeepsOneEntry) {
  CIpResolver resolver([](uint32_t) { return std::optional<std::string>("a.test"); });
  EXPECT_TRUE(resolver.Queue(Address("10.0.0.1")));
  EXPECT_FALSE(resolver.Queue(Address("10.0.0.1")));
  EXPECT_TRUE(resolver.Queue(Address("10.0.0.2")));
  EXPECT_EQ(resolver.CacheSize(), 2u);
  EXPECT_TRUE(WaitFor([&] { return resolver.Lookup(Address("10.0.0.2")) == "a.test"; }));
  EXPECT_FALSE(resolver.Queue(Address("10.0.0.2"))) << "a resolved address stays cached";
}

TEST(IpResolver, SlowNameServiceNeverBlocksTheCaller) {
  CIpResolver resolver([](uint32_t) {
    std::this_thread::sleep_for(1s);
    return std::optional<std::string>("slow.test");
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(resolver.NameOf(Address("192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(resolver.Lookup(Address("192.0.2.7")), std::nullopt);
  EXPECT_EQ(resolver.NameOf(Address("192.0.2.7")), "192.0.2.7");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_TRUE(WaitFor([&] { return resolver.NameOf(Address("192.0.2.7")) == "slow.test"; }, 3s));
}

TEST(IpResolver, AddressWithoutNameGetsItsDottedQuadAndIsNotRetried) {
  std::atomic<int> calls{0};
  CIpResolver resolver([&](uint32_t) {
    ++calls;
    return std::optional<std::string>();
  });
  resolver.Queue(Address("198.51.100.9"));
  EXPECT_TRUE(WaitFor([&] { return resolver.Lookup(Address("198.51.100.9")).has_value(); }));
  EXPECT_EQ(*resolver.Lookup(Address("198.51.100.9")), "198.51.100.9");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(calls.load(), 1);
}

TEST(IpResolver, ResolvesInQueueOrder) {
  std::mutex mutex;
  std::vector<uint32_t> order;
  CIpResolver resolver([&](uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(address);
    return std::optional<std::string>("x");
  });
  const std::vector<uint32_t> queued = {Address("10.0.0.3"), Address("10.0.0.1"),
                                        Address("10.0.0.2")};
  for (uint32_t address : queued) resolver.Queue(address);
  EXPECT_TRUE(WaitFor([&] { return resolver.Lookup(queued.back()).has_value(); }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(order, queued);
}

TEST(IpResolver, ConcurrentQueueAndLookupKeepEveryAddressOnce) {
  CIpResolver resolver([](uint32_t) { return std::optional<std::string>("c.test"); });
  std::vector<std::thread> threads;
  std::atomic<int> appended{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (uint32_t i = 0; i < 2000; ++i) {
        if (resolver.Queue(htonl(0x0A000000u + i))) ++appended;
        resolver.Lookup(htonl(0x0A000000u + i / 2));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(appended.load(), 2000);
  EXPECT_EQ(resolver.CacheSize(), 2000u);
}

TEST(IpResolver, StopsItsThreadOnDestructionEvenDuringALookup) {
  platform::ScopedDebugCapture capture;
  {
    CIpResolver idle([](uint32_t) { return std::optional<std::string>("x"); });
    EXPECT_EQ(idle.NameOf(Address("127.0.0.1")).empty(), false);
  }
  EXPECT_TRUE(capture.Contains("[QXFW.exe]IpResolverThreadProc - Stop"));

  platform::ScopedDebugCapture second;
  {
    CIpResolver never([](uint32_t) { return std::optional<std::string>("x"); });
  }
  EXPECT_TRUE(second.Lines().empty()) << "no address queued, so no thread was started";

  std::atomic<bool> entered{false};
  auto start = std::chrono::steady_clock::now();
  {
    CIpResolver busy([&](uint32_t) {
      entered = true;
      std::this_thread::sleep_for(300ms);
      return std::optional<std::string>("late.test");
    });
    busy.Queue(Address("10.9.9.9"));
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(second.Contains("[QXFW.exe]IpResolverThreadProc - Stop"));
}

}  // namespace
}  // namespace qxfw::monitor
