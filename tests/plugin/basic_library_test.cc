// The plug-in against a device library that offers only the required TMCC_*
// functions (the test double built without its extensions): everything works,
// and what only an extension could tell is left unsaid.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "device/connection_history.h"
#include "device/device_table.h"
#include "device/slot_owner.h"
#include "events/connection_monitor.h"
#include "events/event_service.h"
#include "tests/device/test_helpers.h"
#include "tests/events/event_sink.h"

namespace qrv {
namespace {

class BasicLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RegisterForwarders();
    test::ClearDevices();
    test::Sink().Clear();
  }
  void TearDown() override {
    events::StopEventService(&device::ReleaseClientsOfSlotsInUse);
    test::Sink().Clear();
    test::ClearDevices();
  }
};

TEST_F(BasicLibraryTest, NoConnectionHistoryAndTheMonitorReportsStatesAsPolled) {
  EXPECT_FALSE(device::ConnectionHistoryAvailable());
  const int32_t slot = test::LoginThroughExecute();
  ASSERT_EQ(slot, 0);
  const int32_t handle = device::Slot(slot).loginHandle.load();
  fake_tmcc::SetConnected(handle, true);

  events::EventService service;
  events::RunMonitorPass(service);
  ASSERT_EQ(test::Sink().status.Events().size(), 1u);
  // The double keeps the outage to itself: nothing to report it by.
  fake_tmcc::SimulateOutage(handle, 1500);
  events::RunMonitorPass(service);
  EXPECT_EQ(test::Sink().status.Events().size(), 1u);
  fake_tmcc::SetConnected(handle, false);
  events::RunMonitorPass(service);
  ASSERT_EQ(test::Sink().status.Events().size(), 2u);
  EXPECT_EQ(test::Sink().status.Events()[1].state, 1);

  ParameterMap in{{"Operation", "100"}, {"Handle", "0"}};
  ParameterMap out;
  ASSERT_EQ(plugin::Execute(in, out), 0);
  EXPECT_EQ(out["InUse"], "1");
  EXPECT_EQ(out["Online"], "0");
  EXPECT_EQ(out["Reconnects"], "");
  EXPECT_EQ(out["LastOutageMs"], "");
  EXPECT_EQ(out.size(), 16u);
}

// Such a library fills only the alarm message's code, type and record
// pointer: what its other bytes hold says nothing about the record.
TEST_F(BasicLibraryTest, AlarmIsDeliveredWhateverTheMessagesOtherBytesHold) {
  ASSERT_EQ(test::LoginThroughExecute("10.1.2.3"), 0);
  events::CreateEventService();
  events::StartEventService();
  const int32_t listener = events::EventServiceInstance()->listenerHandle;

  devicelib::AlarmRecord record{};
  record.kind = devicelib::kAlarmKindAlarm;
  std::strcpy(record.address, "10.1.2.3");
  const uint32_t unread[] = {0u, 1u, 100u, 295u, 0xFFFFFFFFu};
  for (uint32_t bytes : unread) {
    devicelib::AlarmMessage message{};
    message.size = bytes;
    message.code = devicelib::kAlarmMessageCode;
    message.type = devicelib::kAlarmMessageTypeAlarm;
    message.recordLength = bytes;  // offset 12
    message.record = &record;
    record.value = static_cast<int32_t>(bytes);
    EXPECT_EQ(fake_tmcc::FireAlarmMessage(listener, &message), 0);
  }
  const auto alarms = test::Sink().alarms.Events();
  ASSERT_EQ(alarms.size(), std::size(unread));
  for (size_t i = 0; i < alarms.size(); ++i) {
    EXPECT_EQ(alarms[i].slot, 0);
    EXPECT_EQ(static_cast<uint32_t>(alarms[i].value), unread[i]);
  }
}

}  // namespace
}  // namespace qrv
