// The plug-in against a device library that offers only the required TMCC_*
// functions (the test double built without its extensions): everything works,
// and what only an extension could tell is left unsaid.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "device/connection_history.h"
#include "device/device_table.h"
#include "device/slot_owner.h"
#include "events/connection_monitor.h"
#include "events/event_service.h"
#include "tests/device/test_helpers.h"
#include "tests/events/event_sink.h"
#include "tests/support/temp_dir.h"

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

// Such a library's answer to a request whose result the contract fixes says
// nothing we know: audio on and off and the end of voice talk give 0 whatever
// it answers, and a snapshot succeeds exactly when the call wrote the file.
TEST_F(BasicLibraryTest, FixedResultsWhateverTheLibraryAnswers) {
  const test::TempDir dir;
  ASSERT_EQ(test::LoginThroughExecute("127.0.0.7"), 0);
  const std::string shot = dir.File("shot.jpg");
  struct Case {
    const char* function;
    int32_t answer;
    bool writesTheFile;  // each write makes the file longer
    ParameterMap request;
    int32_t expected;
  };
  const Case cases[] = {
      {"TMCC_SetMute", 1, false, {{"Operation", "23"}, {"Handle", "0"}}, 0},
      {"TMCC_SetMute", 1, false, {{"Operation", "24"}, {"Handle", "0"}}, 0},
      {"TMCC_StopVoiceCom", -113, false, {{"Operation", "36"}, {"Handle", "0"}}, 0},
      {"TMCC_CapturePictureToFile",
       1,
       true,
       {{"Operation", "20"}, {"Handle", "0"}, {"FileName", shot}},
       0},
      {"TMCC_CapturePictureToFile",
       0,
       true,
       {{"Operation", "20"}, {"Handle", "0"}, {"FileName", shot}},
       0},
      // The file of the call before stays as it was: nothing written now.
      {"TMCC_CapturePictureToFile",
       0,
       false,
       {{"Operation", "20"}, {"Handle", "0"}, {"FileName", shot}},
       -1},
      {"TMCC_CapturePictureToFile",
       0,
       false,
       {{"Operation", "20"}, {"Handle", "0"}, {"FileName", dir.File("none.jpg")}},
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " " + c.request.at("Operation"));
    fake_tmcc::SetResult(c.function, c.answer);
    fake_tmcc::SetAction(c.function, [&shot, writes = c.writesTheFile] {
      if (writes) std::ofstream(shot, std::ios::binary | std::ios::app) << "\xff\xd8 picture";
    });
    ParameterMap in = c.request;
    ParameterMap out;
    EXPECT_EQ(plugin::Execute(in, out), c.expected);
    EXPECT_EQ(fake_tmcc::CallsNamed(c.function).size(), 1u);
    fake_tmcc::ClearCalls();
  }
}

// A listener or discovery such a library refused to start may run all the
// same: the service status says it does not know.
TEST_F(BasicLibraryTest, RefusedStartsOfTheEventSourcesAreUnknown) {
  for (int32_t answer : {0, 1}) {
    SCOPED_TRACE(answer);
    fake_tmcc::SetResult("TMCC_StartListen", answer);
    fake_tmcc::SetResult("TMCC_StartEnum", answer);
    events::CreateEventService();
    events::StartEventService();
    ParameterMap in{{"Operation", "101"}};
    ParameterMap out;
    ASSERT_EQ(plugin::Execute(in, out), 0);
    EXPECT_EQ(out["EventService"], "1");
    EXPECT_EQ(out["AlarmListener"], answer == 0 ? "1" : "");
    EXPECT_EQ(out["Discovery"], answer == 0 ? "1" : "");
    events::StopEventService(&device::ReleaseClientsOfSlotsInUse);
    out.clear();
    ASSERT_EQ(plugin::Execute(in, out), 0);
    EXPECT_EQ(out["AlarmListener"], "0");  // stopped: known
  }
}

}  // namespace
}  // namespace qrv
