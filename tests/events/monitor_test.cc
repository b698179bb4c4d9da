// Connection monitor passes, driven one at a time on the test thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "device/device_table.h"
#include "device/login.h"
#include "events/connection_monitor.h"
#include "events/event_service.h"
#include "tests/events/event_sink.h"
#include "tests/events/test_logins.h"
#include "tests/fake_tmcc/fake_tmcc.h"
#include "tests/support/wait.h"

namespace qrv::events {
namespace {

using test::AddLogin;
using test::Sink;

class MonitorPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RegisterForwarders();
    fake_tmcc::Reset();
    device::ResetAllSlots();
    Sink().Clear();
  }
  void TearDown() override {
    Sink().Clear();
    fake_tmcc::Reset();
  }

  // IsConnect calls made for handle so far.
  static size_t Probes(int32_t handle) {
    size_t count = 0;
    for (const auto& call : fake_tmcc::CallsNamed("TMCC_IsConnect")) {
      if (call.args.at(0) == handle) ++count;
    }
    return count;
  }

  EventService service_;
};

TEST_F(MonitorPassTest, ReportsOnceWhenFoundUpAndOnceWhenFoundDown) {
  const int32_t slot = AddLogin("192.0.2.10", 8101, true);
  const int32_t handle = device::Slot(slot).loginHandle;

  RunMonitorPass(service_);
  auto status = Sink().status.Events();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].slot, slot);
  EXPECT_EQ(status[0].deviceType, 102209);
  EXPECT_EQ(status[0].text, "");
  EXPECT_EQ(status[0].port, 8101);
  EXPECT_EQ(status[0].state, 0);
  EXPECT_EQ(device::Slot(slot).online.load(), 1);

  RunMonitorPass(service_);
  EXPECT_EQ(Sink().status.Events().size(), 1u);

  fake_tmcc::SetConnected(handle, false);
  RunMonitorPass(service_);
  RunMonitorPass(service_);
  status = Sink().status.Events();
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[1].slot, slot);
  EXPECT_EQ(status[1].port, 8101);
  EXPECT_EQ(status[1].state, 1);
  EXPECT_EQ(device::Slot(slot).online.load(), 0);
}

TEST_F(MonitorPassTest, ChangesBetweenPassesThatCancelOutAreNotReported) {
  const int32_t upAndBriefDrop = AddLogin("192.0.2.11", 8000, true);
  const int32_t alwaysDown = AddLogin("192.0.2.12", 8000, false);
  RunMonitorPass(service_);
  ASSERT_EQ(Sink().status.Events().size(), 1u);

  const int32_t handle = device::Slot(upAndBriefDrop).loginHandle;
  fake_tmcc::SetConnected(handle, false);
  fake_tmcc::SetConnected(handle, true);
  RunMonitorPass(service_);
  RunMonitorPass(service_);

  const auto status = Sink().status.Events();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].slot, upAndBriefDrop);
  EXPECT_EQ(device::Slot(alwaysDown).online.load(), 0);
}

TEST_F(MonitorPassTest, OutageTheLibraryRepairedBetweenPassesIsReportedAsAPair) {
  const int32_t slot = AddLogin("192.0.2.18", 8102, true);
  const int32_t handle = device::Slot(slot).loginHandle;
  RunMonitorPass(service_);
  ASSERT_EQ(Sink().status.Events().size(), 1u);

  // Down and back within one period: the state polled is the same as before.
  fake_tmcc::SimulateOutage(handle, 1800);
  RunMonitorPass(service_);
  auto status = Sink().status.Events();
  ASSERT_EQ(status.size(), 3u);
  EXPECT_EQ(status[1].slot, slot);
  EXPECT_EQ(status[1].port, 8102);
  EXPECT_EQ(status[1].state, 1);
  EXPECT_EQ(status[2].slot, slot);
  EXPECT_EQ(status[2].state, 0);
  EXPECT_EQ(device::Slot(slot).online.load(), 1);

  RunMonitorPass(service_);
  EXPECT_EQ(Sink().status.Events().size(), 3u);

  // An outage still going on is an ordinary off-line report; when the device
  // is back, one on-line report, not a pair on top of it.
  fake_tmcc::SetConnected(handle, false);
  RunMonitorPass(service_);
  fake_tmcc::SimulateOutage(handle, 9000);
  fake_tmcc::SetConnected(handle, true);
  RunMonitorPass(service_);
  RunMonitorPass(service_);
  status = Sink().status.Events();
  ASSERT_EQ(status.size(), 5u);
  EXPECT_EQ(status[3].state, 1);
  EXPECT_EQ(status[4].state, 0);
}

// One outage, the library's state and its two counts moving in every order a
// real library may show them, with passes falling between each step: the host
// hears exactly one off-line and one on-line report after the first on-line.
TEST_F(MonitorPassTest, OneOutageIsOnePairOfReportsWhereverThePassesFall) {
  struct Order {
    const char* name;
    std::vector<const char*> steps;  // "down", "up", "lost", "back", "pass", "stale-up"
  };
  const std::vector<Order> orders = {
      {"pass sees it down, restoration counted after it is up",
       {"down", "lost", "pass", "up", "pass", "back", "pass", "pass"}},
      {"pass sees it down before the loss is counted",
       {"down", "pass", "lost", "up", "back", "pass", "pass"}},
      {"no pass while down, restoration counted after the pass",
       {"down", "lost", "up", "pass", "back", "pass", "pass"}},
      {"no pass while down, everything counted before the pass",
       {"down", "lost", "up", "back", "pass", "pass"}},
      {"probe still sees it up, the history already down",
       {"down", "lost", "stale-up", "pass", "pass", "up", "back", "pass", "pass"}},
      {"frames flow while the login is restored",
       {"down", "lost", "frames", "pass", "frames", "pass", "up", "back", "pass", "pass"}},
      {"seen down, then on line by its frames before the login is back",
       {"down", "lost", "pass", "frames", "pass", "up", "back", "pass", "pass"}},
  };
  int32_t port = 8200;
  for (const Order& order : orders) {
    SCOPED_TRACE(order.name);
    Sink().Clear();
    const int32_t slot = AddLogin("192.0.2.30", ++port, true);
    const int32_t handle = device::Slot(slot).loginHandle;
    RunMonitorPass(service_);
    ASSERT_EQ(Sink().status.Events().size(), 1u);
    for (const std::string step : order.steps) {
      if (step == "down") fake_tmcc::SetConnected(handle, false);
      if (step == "up") fake_tmcc::SetConnected(handle, true);
      if (step == "lost") fake_tmcc::CountDisconnect(handle);
      if (step == "back") fake_tmcc::CountReconnect(handle, 1500);
      if (step == "stale-up") fake_tmcc::QueueResult("TMCC_IsConnect", 1);
      if (step == "frames") device::Slot(slot).stats.packetsReceived.fetch_add(5);
      if (step == "pass") RunMonitorPass(service_);
    }
    std::vector<int32_t> states;
    for (const auto& event : Sink().status.Events()) {
      if (event.slot == slot) states.push_back(event.state);
    }
    EXPECT_EQ(states, (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(device::Slot(slot).online.load(), 1);
    device::ResetAllSlots();
  }
}

// A device that drops its connections every few seconds but streams between
// the drops is on line while its frames flow, and off line once they stop.
TEST_F(MonitorPassTest, FramesFlowingKeepADeviceOnLineWhileItsLoginIsDown) {
  const int32_t slot = AddLogin("192.0.2.40", 8300, false);
  auto& packets = device::Slot(slot).stats.packetsReceived;
  RunMonitorPass(service_);
  EXPECT_TRUE(Sink().status.Events().empty());

  packets.fetch_add(3);
  RunMonitorPass(service_);
  packets.fetch_add(3);
  RunMonitorPass(service_);
  auto status = Sink().status.Events();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].state, 0);

  RunMonitorPass(service_);  // no packet since the last pass
  status = Sink().status.Events();
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[1].state, 1);
  EXPECT_EQ(device::Slot(slot).online.load(), 0);
}

TEST_F(MonitorPassTest, SlotsWithoutLoginAreNotAskedAbout) {
  const int32_t reservedOnly = device::AllocateSlot();  // handle -1
  const int32_t loggedIn = AddLogin("192.0.2.13", 8000, true);
  // A free slot that still carries a live handle value is not polled either.
  const int32_t freed = AddLogin("192.0.2.14", 8000, true);
  const int32_t freedHandle = device::Slot(freed).loginHandle;
  device::Slot(freed).inUse.store(0);

  RunMonitorPass(service_);

  const auto probes = fake_tmcc::CallsNamed("TMCC_IsConnect");
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_EQ(probes[0].args.at(0), device::Slot(loggedIn).loginHandle.load());
  EXPECT_EQ(Probes(freedHandle), 0u);
  const auto status = Sink().status.Events();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].slot, loggedIn);
  EXPECT_EQ(device::Slot(reservedOnly).online.load(), 0);
}

TEST_F(MonitorPassTest, StopDuringAPassEndsItBeforeTheNextSlot) {
  const int32_t first = AddLogin("192.0.2.15", 8000, true);
  const int32_t second = AddLogin("192.0.2.16", 8000, true);
  Sink().status.Hook([this](const test::StatusEvent&) { service_.stopRequested.store(1); });

  RunMonitorPass(service_);

  const auto status = Sink().status.Events();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].slot, first);
  EXPECT_EQ(Probes(device::Slot(second).loginHandle), 0u);
  EXPECT_EQ(device::Slot(second).online.load(), 0);
}

TEST_F(MonitorPassTest, HostMayLogOutFromInsideTheReport) {
  const int32_t slot = AddLogin("192.0.2.17", 8000, true);
  const int32_t handle = device::Slot(slot).loginHandle;
  // Logout waits for the monitor's use of the login client; the report comes
  // after that use has ended, so this must not block.
  Sink().status.Hook([slot](const test::StatusEvent&) { device::LogoutDevice(slot); });

  RunMonitorPass(service_);

  ASSERT_EQ(Sink().status.Events().size(), 1u);
  const auto released = fake_tmcc::ReleasedHandles();
  EXPECT_NE(std::find(released.begin(), released.end(), handle), released.end());
  EXPECT_EQ(device::Slot(slot).inUse.load(), 0);

  // The released handle is never asked about again.
  const size_t probesBefore = Probes(handle);
  RunMonitorPass(service_);
  EXPECT_EQ(Probes(handle), probesBefore);
  EXPECT_EQ(Sink().status.Events().size(), 1u);
}

}  // namespace
}  // namespace qrv::events
