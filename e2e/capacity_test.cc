// The whole slot table end to end: 256 devices logged in at once through the
// real network, and the 257th login refused with 14.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "e2e/e2e_world.h"

namespace qrv::e2e {
namespace {

using std::chrono::milliseconds;

constexpr int kSlots = 256;

host::FleetOptions FleetForThisProgram() {
  host::FleetOptions options;
  options.baseAddress = host::ProcessLoopbackBase(2);
  options.count = kSlots + 1;
  options.identityPrefix = "E2E-CAPACITY-";
  options.replay = true;  // one encoded loop shared by every device
  options.answerDiscovery = false;
  options.ioThreads = 2;
  return options;
}

World& world() {
  return World::Get();
}

TEST(Capacity, TwoHundredFiftySixSimultaneousLoginsThenTheNextIsRefusedWith14) {
  // Eight host threads log in to 32 devices each, all at once.
  constexpr int kThreads = 8;
  std::vector<int32_t> results(kSlots, -12345);
  std::vector<int32_t> slots(kSlots, -1);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = t; i < kSlots; i += kThreads) {
        host::Reply reply = world().requests().Login(world().fleet().credentials(i));
        results[i] = reply.code;
        slots[i] = reply.OutputInt("LOGINID");
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<int32_t> distinct;
  for (int i = 0; i < kSlots; ++i) {
    EXPECT_EQ(results[i], 0) << "device " << i << ": " << host::DescribeExecuteResult(results[i]);
    distinct.insert(slots[i]);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kSlots));
  EXPECT_EQ(*distinct.begin(), 0);
  EXPECT_EQ(*distinct.rbegin(), kSlots - 1);
  for (int i = 0; i < kSlots; i += 51) {
    EXPECT_EQ(world().fleet().device(i).Observe().activeLogins, 1u) << "device " << i;
  }

  // The table is full: refused before any device is contacted.
  host::Reply refused = world().requests().Login(world().fleet().credentials(kSlots));
  EXPECT_EQ(refused.code, 14);
  EXPECT_EQ(refused.input.count("LOGINID"), 0u);
  EXPECT_TRUE(refused.output.empty());
  EXPECT_EQ(world().fleet().device(kSlots).Observe().logins, 0u);

  // Freeing one slot makes room for exactly that one.
  ASSERT_EQ(world().requests().Logout(slots[100]).code, 0);
  host::Reply late = world().requests().Login(world().fleet().credentials(kSlots));
  EXPECT_EQ(late.code, 0);
  EXPECT_EQ(late.OutputInt("LOGINID"), slots[100]);
  slots[100] = late.OutputInt("LOGINID");

  for (int32_t slot : distinct) EXPECT_EQ(world().requests().Logout(slot).code, 0);
  EXPECT_TRUE(world().fleet().device(0).WaitFor(
      [](const sim::Observations& o) { return o.activeLogins == 0; }, milliseconds(5000)));
}

}  // namespace
}  // namespace qrv::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new qrv::e2e::World(qrv::e2e::FleetForThisProgram()));
  return RUN_ALL_TESTS();
}
