// The device-library test double: call log, scripts, callbacks on its own
// thread and the teardown guarantee other tests rely on.
#include "tests/fake_tmcc/fake_tmcc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "devicelib/tmcc_errors.h"
#include "fault/kt_exception.h"
#include "tests/support/faults.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using qrv::devicelib::kErrInvalidHandle;

class FakeTmccTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_tmcc::Reset(); }
  void TearDown() override { fake_tmcc::Reset(); }
};

TEST_F(FakeTmccTest, RecordsCallsWithArgumentsAndRecordCopies) {
  const int32_t login = TMCC_Init(0);
  const int32_t stream = TMCC_Init(5);
  EXPECT_EQ(login, 1);
  EXPECT_EQ(stream, 2);
  EXPECT_EQ(TMCC_SetTimeOut(login, 3000), 0);

  qrv::devicelib::LoginRecord record{};
  record.size = sizeof(record);
  std::strcpy(record.deviceIp, "127.0.0.9");
  record.devicePort = 5000;
  EXPECT_EQ(TMCC_Connect(login, &record, 0), 0);
  std::strcpy(record.deviceIp, "changed");  // the log keeps what was handed over

  qrv::devicelib::StreamConnectRecord connect{};
  connect.streamType = 1;
  EXPECT_EQ(TMCC_ConnectStream(stream, &connect, 77), 0);
  EXPECT_EQ(TMCC_CapturePictureToFile(login, "shot.jpg", "JPEG"), 0);

  const std::vector<std::string> expected = {"TMCC_Init",          "TMCC_Init",
                                             "TMCC_SetTimeOut",    "TMCC_Connect",
                                             "TMCC_ConnectStream", "TMCC_CapturePictureToFile"};
  EXPECT_EQ(fake_tmcc::CallNames(), expected);

  auto connects = fake_tmcc::CallsNamed("TMCC_Connect");
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].args,
            (std::vector<int64_t>{login, reinterpret_cast<intptr_t>(&record), 0}));
  ASSERT_EQ(connects[0].record.size(), 236u);
  qrv::devicelib::LoginRecord copy;
  std::memcpy(&copy, connects[0].record.data(), sizeof(copy));
  EXPECT_STREQ(copy.deviceIp, "127.0.0.9");
  EXPECT_EQ(copy.devicePort, 5000);

  auto streams = fake_tmcc::CallsNamed("TMCC_ConnectStream");
  ASSERT_EQ(streams[0].record.size(), 280u);
  EXPECT_EQ(streams[0].record[137], 1);
  EXPECT_EQ(streams[0].args[2], 77);
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_CapturePictureToFile")[0].text, "shot.jpg|JPEG");

  fake_tmcc::ClearCalls();
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(FakeTmccTest, ScriptedResultsAndConnectedState) {
  fake_tmcc::SetResult("TMCC_PtzControl", -7);
  fake_tmcc::QueueResult("TMCC_PtzControl", 3);
  fake_tmcc::QueueResult("TMCC_PtzControl", 4);
  const int32_t login = TMCC_Init(0);
  EXPECT_EQ(TMCC_PtzControl(login, 1, 2, 3), 3);
  EXPECT_EQ(TMCC_PtzControl(login, 1, 2, 3), 4);
  EXPECT_EQ(TMCC_PtzControl(login, 1, 2, 3), -7);

  EXPECT_EQ(TMCC_IsConnect(login), 0);
  fake_tmcc::QueueResult("TMCC_Connect", -104);
  qrv::devicelib::LoginRecord record{};
  EXPECT_EQ(TMCC_Connect(login, &record, 0), -104);
  EXPECT_EQ(TMCC_IsConnect(login), 0);
  EXPECT_EQ(TMCC_Connect(login, &record, 0), 0);
  EXPECT_EQ(TMCC_IsConnect(login), 1);
  EXPECT_EQ(TMCC_DisConnect(login), 0);
  EXPECT_EQ(TMCC_IsConnect(login), 0);
  fake_tmcc::SetConnected(login, true);
  EXPECT_EQ(TMCC_IsConnect(login), 1);

  // A scripted TMCC_Init of 0 makes no client; calls on it fail.
  fake_tmcc::QueueResult("TMCC_Init", 0);
  EXPECT_EQ(TMCC_Init(0), 0);
  EXPECT_EQ(TMCC_SetTimeOut(0, 3000), kErrInvalidHandle);
}

TEST_F(FakeTmccTest, UnknownAndReleasedHandlesFailButAreRecorded) {
  const int32_t first = TMCC_Init(0);
  const int32_t second = TMCC_Init(1);
  EXPECT_EQ(TMCC_Done(second), 0);
  EXPECT_EQ(TMCC_Done(first), 0);
  EXPECT_EQ(TMCC_Done(first), kErrInvalidHandle);
  EXPECT_EQ(TMCC_MakeKeyFrame(first), kErrInvalidHandle);
  EXPECT_EQ(TMCC_StopEnum(99), kErrInvalidHandle);
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{second, first}));
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_Done").size(), 3u);
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_MakeKeyFrame").size(), 1u);
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_StopEnum").size(), 1u);
  EXPECT_EQ(TMCC_Init(0), 3);  // released numbers are not handed out again
}

TEST_F(FakeTmccTest, FaultRaisedByAnActionUnwindsThroughTheLibraryCall) {
  qrv::fault::InstallFaultTranslator();
  fake_tmcc::SetAction("TMCC_MakeKeyFrame", [] { qrv::test::RaiseAccessViolation(); });
  const int32_t login = TMCC_Init(0);
  int32_t code = 0;
  try {
    TMCC_MakeKeyFrame(login);
  } catch (CKTBException& error) {
    code = error.GetErrorCode();
  }
  EXPECT_EQ(static_cast<uint32_t>(code), qrv::platform::kAccessViolation);
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_MakeKeyFrame").size(), 1u);
  fake_tmcc::SetAction("TMCC_MakeKeyFrame", nullptr);
  EXPECT_EQ(TMCC_MakeKeyFrame(login), 0);
}

struct Sink {
  std::mutex mutex;
  std::vector<std::string> events;
  std::thread::id thread;
  int32_t handle = 0;
  std::function<void()> during;
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
  bool Has(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(events.begin(), events.end(), event) != events.end();
  }
};

int32_t QRV_CALLBACK OnPacket(int32_t handle, qrv::devicelib::StreamPacket* packet, void* context) {
  auto* sink = static_cast<Sink*>(context);
  sink->thread = std::this_thread::get_id();
  sink->handle = handle;
  if (sink->during) sink->during();
  sink->Add("packet end");
  return packet != nullptr ? static_cast<int32_t>(packet->length) : -1;
}

int32_t QRV_CALLBACK OnServer(qrv::devicelib::ServerInfoRecord* info, void* context) {
  static_cast<Sink*>(context)->Add(info != nullptr ? info->address : "null");
  return 5;
}

int32_t QRV_CALLBACK OnConnect(int32_t, int32_t connected, int32_t, void* context) {
  static_cast<Sink*>(context)->Add(connected != 0 ? "up" : "down");
  return 1;
}

TEST_F(FakeTmccTest, CallbacksRunOnTheLibraryThreadWithTheirContext) {
  Sink sink;
  const int32_t stream = TMCC_Init(5);
  qrv::devicelib::StreamPacket packet{};
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), INT32_MIN);  // none registered
  TMCC_RegisterStreamCallBack(stream, OnPacket, &sink);
  EXPECT_EQ(fake_tmcc::RegisteredContext(stream), &sink);
  packet.length = 1234;
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), 1234);
  EXPECT_EQ(sink.handle, stream);
  EXPECT_NE(sink.thread, std::this_thread::get_id());

  const int32_t enumeration = TMCC_Init(1);
  TMCC_RegisterEnumServerCallBack(enumeration, OnServer, &sink);
  qrv::devicelib::ServerInfoRecord info{};
  std::strcpy(info.address, "127.0.0.5");
  EXPECT_EQ(fake_tmcc::FireServerInfo(enumeration, &info), 5);
  EXPECT_TRUE(sink.Has("127.0.0.5"));

  const int32_t login = TMCC_Init(0);
  TMCC_RegisterConnectCallBack(login, OnConnect, &sink);
  EXPECT_EQ(fake_tmcc::FireConnectChange(login, 1), 1);
  EXPECT_EQ(TMCC_IsConnect(login), 1);
  EXPECT_EQ(fake_tmcc::FireConnectChange(login, 0), 1);
  EXPECT_EQ(TMCC_IsConnect(login), 0);

  // A callback's exception reaches the test instead of vanishing.
  sink.during = [] { throw std::runtime_error("from callback"); };
  EXPECT_THROW(fake_tmcc::FireStreamPacket(stream, &packet), std::runtime_error);
}

TEST_F(FakeTmccTest, NoCallbackAfterCloseUntilTheStreamIsOpenedAgain) {
  Sink sink;
  const int32_t stream = TMCC_Init(5);
  TMCC_RegisterStreamCallBack(stream, OnPacket, &sink);
  qrv::devicelib::StreamPacket packet{};
  EXPECT_EQ(TMCC_CloseStream(stream), 0);
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), INT32_MIN);
  qrv::devicelib::StreamConnectRecord record{};
  EXPECT_EQ(TMCC_ConnectStream(stream, &record, 0), 0);
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), 0);
  EXPECT_EQ(TMCC_Done(stream), 0);
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), INT32_MIN);
}

TEST_F(FakeTmccTest, CloseWaitsForTheRunningCallback) {
  Sink sink;
  const int32_t stream = TMCC_Init(5);
  TMCC_RegisterStreamCallBack(stream, OnPacket, &sink);
  std::atomic<bool> inCallback{false};
  std::atomic<bool> closeReturned{false};
  std::atomic<bool> returnedWhileRunning{false};
  // Inside the callback: wait until the close has been called, then give a
  // wrongly returning close the chance to show itself before ending.
  sink.during = [&] {
    inCallback = true;
    qrv::test::WaitUntil([] { return !fake_tmcc::CallsNamed("TMCC_CloseStream").empty(); },
                         10000ms);
    if (qrv::test::WaitUntil([&] { return closeReturned.load(); }, 200ms)) {
      returnedWhileRunning = true;
    }
  };
  qrv::devicelib::StreamPacket packet{};
  std::thread firing([&] { fake_tmcc::FireStreamPacket(stream, &packet); });
  ASSERT_TRUE(qrv::test::WaitUntil([&] { return inCallback.load(); }, 10000ms));
  std::thread closing([&] {
    TMCC_CloseStream(stream);
    closeReturned = true;
  });
  closing.join();
  firing.join();
  EXPECT_FALSE(returnedWhileRunning.load());
  EXPECT_TRUE(sink.Has("packet end"));
}

TEST_F(FakeTmccTest, TeardownFromInsideTheOwnCallbackDoesNotWaitForItself) {
  Sink sink;
  const int32_t stream = TMCC_Init(5);
  TMCC_RegisterStreamCallBack(stream, OnPacket, &sink);
  sink.during = [&] {
    TMCC_CloseStream(sink.handle);
    TMCC_Done(sink.handle);
  };
  qrv::devicelib::StreamPacket packet{};
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), 0);
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), std::vector<int32_t>{stream});
}

}  // namespace
