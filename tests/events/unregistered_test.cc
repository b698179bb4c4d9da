// Device events before the host has registered any callback: nothing is
// polled, searched, reported or remembered; after registration the events
// flow. Registration lasts the process: each run starts by forgetting it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>

#include "device/device_table.h"
#include "devicelib/tmcc_records.h"
#include "events/alarm.h"
#include "events/connection_monitor.h"
#include "events/discovery.h"
#include "events/event_service.h"
#include "events/host_callbacks.h"
#include "tests/events/event_sink.h"
#include "tests/events/test_logins.h"
#include "tests/fake_tmcc/fake_tmcc.h"
#include "tests/support/wait.h"

namespace qrv::events {
namespace {

using test::Sink;

TEST(UnregisteredCallbacksTest, EventsWaitForTheirCallbackAndThenFlow) {
  ForgetHostCallbacksForTests();
  Sink().Clear();
  ASSERT_EQ(CurrentConnectionStatusCallback(), nullptr);
  ASSERT_EQ(CurrentAlarmCallback(), nullptr);
  ASSERT_EQ(CurrentDiscoveryCallback(), nullptr);
  fake_tmcc::Reset();
  device::ResetAllSlots();
  EventService service;

  const int32_t slot = test::AddLogin("10.5.0.1", 8200, true);

  // Monitor: no login is polled and no flag changes.
  RunMonitorPass(service);
  EXPECT_TRUE(fake_tmcc::CallsNamed("TMCC_IsConnect").empty());
  EXPECT_EQ(device::Slot(slot).online.load(), 0);

  // Alarm: the slot table is not even searched. With the table lock held by
  // this thread, a search on another thread would block.
  devicelib::AlarmRecord record;
  std::memset(&record, 0, sizeof(record));
  record.kind = 3;
  record.value = 5;
  std::memcpy(record.address, "10.5.0.1", 8);
  devicelib::AlarmMessage message{sizeof(message), 271, 4, sizeof(record), &record};
  device::TableLock().Enter();
  auto alarm =
      std::async(std::launch::async, [&] { return AlarmMessageCallback(0, &message, &service); });
  const bool returned = test::WaitUntil(
      [&] { return alarm.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      std::chrono::seconds(5));
  device::TableLock().Leave();
  EXPECT_TRUE(returned);
  EXPECT_EQ(alarm.get(), 0);

  // Discovery: the answer is neither reported nor remembered.
  devicelib::ServerInfoRecord info;
  std::memset(&info, 0, sizeof(info));
  std::memcpy(info.identity, "SN-early", 8);
  std::memcpy(info.address, "10.5.0.1", 8);
  EXPECT_EQ(DiscoveryEnumCallback(&info, &service), 1);
  EXPECT_TRUE(service.discoveredSet.empty());

  test::RegisterForwarders();

  RunMonitorPass(service);
  ASSERT_EQ(Sink().status.Events().size(), 1u);
  EXPECT_EQ(Sink().status.Events()[0].slot, slot);
  EXPECT_EQ(Sink().status.Events()[0].state, 0);

  EXPECT_EQ(AlarmMessageCallback(0, &message, &service), 0);
  ASSERT_EQ(Sink().alarms.Events().size(), 1u);
  EXPECT_EQ(Sink().alarms.Events()[0].slot, slot);

  EXPECT_EQ(DiscoveryEnumCallback(&info, &service), 1);
  EXPECT_EQ(Sink().discoveries.Events().size(), 1u);
  EXPECT_EQ(service.discoveredSet.count("SN-early"), 1u);
}

}  // namespace
}  // namespace qrv::events
