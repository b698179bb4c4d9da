// Start, stop and restart of the process-wide event service: the library
// calls, the release of the slots' clients and the end of the monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/device_table.h"
#include "device/slot_owner.h"
#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_records.h"
#include "events/event_service.h"
#include "media/recording.h"
#include "tests/events/event_sink.h"
#include "tests/events/service_fixture.h"
#include "tests/events/test_logins.h"
#include "tests/fake_tmcc/fake_tmcc.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace qrv::events {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::AddLogin;
using test::Sink;
using test::WaitUntil;

bool Contains(const std::vector<int32_t>& values, int32_t value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// Every recorded call except the monitor's polls, which come at any time.
std::vector<fake_tmcc::Call> CallsWithoutPolls() {
  std::vector<fake_tmcc::Call> calls;
  for (auto& call : fake_tmcc::Calls()) {
    if (call.name != "TMCC_IsConnect") calls.push_back(std::move(call));
  }
  return calls;
}

class EventServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RegisterForwarders();
    StopEventService(&device::ReleaseClientsOfSlotsInUse);
    fake_tmcc::Reset();
    device::ResetAllSlots();
    Sink().Clear();
    service_ = CreateEventService();
    test::ForgetDiscovered(service_);
  }
  void TearDown() override {
    Sink().Clear();
    StopEventService(&device::ReleaseClientsOfSlotsInUse);
    // A monitor detached by a test goes before the next test starts.
    EXPECT_TRUE(WaitUntil([this] { return service_->monitorsRunning.load() == 0; }, seconds(10)));
    fake_tmcc::SetAction("TMCC_IsConnect", nullptr);
    fake_tmcc::Reset();
  }

  static void ExpectCall(const fake_tmcc::Call& call, const std::string& name,
                         const std::vector<int64_t>& leadingArgs) {
    EXPECT_EQ(call.name, name);
    ASSERT_GE(call.args.size(), leadingArgs.size()) << name;
    for (size_t i = 0; i < leadingArgs.size(); ++i) {
      EXPECT_EQ(call.args[i], leadingArgs[i]) << name << " argument " << i;
    }
  }

  EventService* service_ = nullptr;
};

TEST_F(EventServiceTest, StartOpensListenerAndDiscoveryInOrder) {
  EXPECT_EQ(StartEventService(), 1);
  const int64_t context = reinterpret_cast<intptr_t>(service_);
  const auto calls = fake_tmcc::Calls();
  ASSERT_EQ(calls.size(), 6u);
  ExpectCall(calls[0], "TMCC_Init", {6});
  ExpectCall(calls[1], "TMCC_Init", {1});
  const int32_t listener = service_->listenerHandle;
  const int32_t discovery = service_->discoveryHandle;
  EXPECT_NE(listener, discovery);
  ExpectCall(calls[2], "TMCC_RegisterDataReadCallBack", {listener});
  EXPECT_EQ(calls[2].args.at(2), context);
  ExpectCall(calls[3], "TMCC_StartListen", {listener, 5005});
  ExpectCall(calls[4], "TMCC_RegisterEnumServerCallBack", {discovery});
  EXPECT_EQ(calls[4].args.at(2), context);
  ExpectCall(calls[5], "TMCC_StartEnum", {discovery});
  EXPECT_TRUE(service_->monitorThread != nullptr);

  // A second start of a running service opens nothing more.
  fake_tmcc::ClearCalls();
  EXPECT_EQ(StartEventService(), 1);
  EXPECT_TRUE(CallsWithoutPolls().empty());
}

TEST_F(EventServiceTest, StopReleasesEveryInUseSlotsClientsOnce) {
  test::TempDir dir;
  StartEventService();
  const int32_t listener = service_->listenerHandle;
  const int32_t discovery = service_->discoveryHandle;

  const int32_t withStream = AddLogin("10.4.0.1", 8000, true);
  const int32_t stream = TMCC_Init(devicelib::kClientStream);
  device::Slot(withStream).streamHandle.store(stream);
  media::StartRecording(dir.File("slot0"), withStream);
  ASSERT_EQ(device::Slot(withStream).recording.load(), 1);
  const int32_t streamClosed = AddLogin("10.4.0.2", 8000, true);  // stream handle -1
  const int32_t freeSlot = AddLogin("10.4.0.3", 8000, true);
  const int32_t freeHandle = device::Slot(freeSlot).loginHandle;
  device::Slot(freeSlot).inUse.store(0);
  const int32_t login0 = device::Slot(withStream).loginHandle;
  const int32_t login1 = device::Slot(streamClosed).loginHandle;
  fake_tmcc::ClearCalls();

  StopEventService(&device::ReleaseClientsOfSlotsInUse);

  const auto calls = CallsWithoutPolls();
  ASSERT_EQ(calls.size(), 7u);
  ExpectCall(calls[0], "TMCC_StopListen", {listener});
  ExpectCall(calls[1], "TMCC_StopEnum", {discovery});
  ExpectCall(calls[2], "TMCC_Done", {discovery});
  ExpectCall(calls[3], "TMCC_Done", {login0});
  ExpectCall(calls[4], "TMCC_Done", {stream});
  ExpectCall(calls[5], "TMCC_Done", {login1});
  ExpectCall(calls[6], "TMCC_Done", {listener});
  EXPECT_FALSE(Contains(fake_tmcc::ReleasedHandles(), freeHandle));

  // The slots stay in use, without handles, and the recording is closed.
  EXPECT_EQ(device::Slot(withStream).inUse.load(), 1);
  EXPECT_EQ(device::Slot(withStream).loginHandle.load(), -1);
  EXPECT_EQ(device::Slot(withStream).streamHandle.load(), -1);
  EXPECT_EQ(device::Slot(withStream).recording.load(), 0);
  EXPECT_EQ(device::Slot(withStream).recordFile.load(), nullptr);
  EXPECT_EQ(service_->discoveryHandle, 0);
  EXPECT_TRUE(service_->monitorThread == nullptr);

  // A second stop, or a refresh on the stopped service, calls nothing.
  fake_tmcc::ClearCalls();
  StopEventService(&device::ReleaseClientsOfSlotsInUse);
  EXPECT_EQ(RefreshDiscovery(), 1);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
  EXPECT_EQ(fake_tmcc::ReleasedHandles().size(), 5u);
}

TEST_F(EventServiceTest, StopEndsTheMonitorWithinItsBound) {
  StartEventService();
  ASSERT_TRUE(WaitUntil([this] { return service_->monitorsRunning.load() == 1; }, seconds(10)));
  // The monitor is now in its pause (or about to be); stop cuts it short.
  const auto started = std::chrono::steady_clock::now();
  StopEventService(&device::ReleaseClientsOfSlotsInUse);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(service_->monitorsRunning.load(), 0);
  std::printf("stop took %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
}

TEST_F(EventServiceTest, StartAfterStopBringsAllThreeKindsOfEventBack) {
  StartEventService();
  const int32_t oldListener = service_->listenerHandle;
  StopEventService(&device::ReleaseClientsOfSlotsInUse);

  const int32_t slot = AddLogin("10.4.0.9", 8123, true);
  StartEventService();
  const int32_t listener = service_->listenerHandle;
  const int32_t discovery = service_->discoveryHandle;
  EXPECT_NE(listener, oldListener);
  EXPECT_NE(discovery, 0);
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_Init").size(), 5u);  // 2 + login + 2

  // Status: the new monitor's first pass finds the login up.
  ASSERT_TRUE(WaitUntil([] { return !Sink().status.Events().empty(); }, seconds(10)));
  EXPECT_EQ(Sink().status.Events()[0].slot, slot);
  EXPECT_EQ(Sink().status.Events()[0].state, 0);

  // Alarm on the new listener.
  devicelib::AlarmRecord record;
  std::memset(&record, 0, sizeof(record));
  record.kind = 3;
  record.value = 11;
  std::memcpy(record.address, "10.4.0.9", 8);
  devicelib::AlarmMessage message{sizeof(message), 271, 4, sizeof(record), &record};
  EXPECT_EQ(fake_tmcc::FireAlarmMessage(listener, &message), 0);
  ASSERT_EQ(Sink().alarms.Events().size(), 1u);
  EXPECT_EQ(Sink().alarms.Events()[0].slot, slot);

  // Discovery on the new enumeration client.
  devicelib::ServerInfoRecord info;
  std::memset(&info, 0, sizeof(info));
  std::memcpy(info.identity, "SN-restart", 10);
  std::memcpy(info.address, "10.4.0.9", 8);
  EXPECT_EQ(fake_tmcc::FireServerInfo(discovery, &info), 1);
  EXPECT_EQ(Sink().discoveries.Events().size(), 1u);
}

TEST_F(EventServiceTest, StopReleasesALoginOnlyAfterTheMonitorsPollReturned) {
  const int32_t slot = AddLogin("10.4.0.10", 8000, true);
  const int32_t login = device::Slot(slot).loginHandle;
  test::Gate polling;
  test::Gate release;
  std::atomic<int> releasedDuringPoll{-1};
  fake_tmcc::SetAction("TMCC_IsConnect", [&] {
    polling.Open();
    release.Wait();
    releasedDuringPoll.store(Contains(fake_tmcc::ReleasedHandles(), login) ? 1 : 0);
  });
  StartEventService();
  ASSERT_TRUE(polling.Wait());

  const int32_t discovery = service_->discoveryHandle;
  std::thread stopper([] { StopEventService(&device::ReleaseClientsOfSlotsInUse); });
  // Stop has reached the slots once the discovery client is released.
  EXPECT_TRUE(
      WaitUntil([&] { return Contains(fake_tmcc::ReleasedHandles(), discovery); }, seconds(10)));
  // It must hold the login back while the poll is in flight; one that does
  // not releases it within moments.
  EXPECT_FALSE(
      WaitUntil([&] { return Contains(fake_tmcc::ReleasedHandles(), login); }, milliseconds(300)));
  release.Open();
  stopper.join();

  EXPECT_EQ(releasedDuringPoll.load(), 0);
  EXPECT_TRUE(Contains(fake_tmcc::ReleasedHandles(), login));
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_IsConnect").size(), 1u);
}

TEST_F(EventServiceTest, MonitorStuckInTheHostOutlivesStopAndThenTouchesNothing) {
  const int32_t slot = AddLogin("10.4.0.11", 8000, true);
  test::Gate reporting;
  test::Gate release;
  Sink().status.Hook([&](const test::StatusEvent&) {
    reporting.Open();
    release.Wait(seconds(30));
  });
  StartEventService();
  ASSERT_TRUE(reporting.Wait());

  StopEventService(
      &device::ReleaseClientsOfSlotsInUse);  // gives up waiting after its bound and goes on
  EXPECT_TRUE(service_->monitorThread == nullptr);
  EXPECT_EQ(service_->monitorsRunning.load(), 1);

  // A restart while the old monitor is still inside the host.
  const int32_t other = AddLogin("10.4.0.12", 8000, false);
  StartEventService();
  ASSERT_TRUE(WaitUntil([this] { return service_->monitorsRunning.load() == 2; }, seconds(10)));
  fake_tmcc::ClearCalls();
  release.Open();

  // The old monitor returns, does not mark the released login on line, and
  // ends; only the new one goes on.
  EXPECT_TRUE(WaitUntil([this] { return service_->monitorsRunning.load() == 1; }, seconds(10)));
  EXPECT_EQ(device::Slot(slot).online.load(), 0);
  EXPECT_EQ(Sink().status.Events().size(), 1u);
  for (const auto& call : fake_tmcc::CallsNamed("TMCC_IsConnect")) {
    EXPECT_NE(call.args.at(0), -1);
    EXPECT_EQ(call.args.at(0), device::Slot(other).loginHandle.load());
  }
}

}  // namespace
}  // namespace qrv::events
