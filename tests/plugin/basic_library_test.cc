// The plug-in against a device library that offers only the required TMCC_*
// functions (the test double built without its extensions): everything works,
// and what only an extension could tell is left unsaid.
#include <gtest/gtest.h>

#include "device/connection_history.h"
#include "device/device_table.h"
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
  EXPECT_EQ(out.size(), 14u);
}

}  // namespace
}  // namespace qrv
