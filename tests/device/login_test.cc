#include "device/login.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "device/device_table.h"
#include "events/connection_monitor.h"
#include "events/event_service.h"
#include "events/host_callbacks.h"
#include "media/live_stream.h"
#include "media/recording.h"
#include "tests/device/test_helpers.h"
#include "tests/support/temp_dir.h"

namespace qrv::device {
namespace {

using fake_tmcc::CallNames;
using fake_tmcc::CallsNamed;
using test::Exec;
using test::LoginThroughExecute;
using test::ReadInt;
using test::ReadText;
using Names = std::vector<std::string>;

class LoginTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearDevices(); }
  void TearDown() override { test::ClearDevices(); }

  static ParameterMap LoginRequest(const std::string& ip, const std::string& user,
                                   const std::string& password, const std::string& port) {
    return {{"Operation", "1"},
            {"DeviceIP", ip},
            {"User", user},
            {"Password", password},
            {"DevicePort", port}};
  }
};

TEST_F(LoginTest, SuccessfulLoginMakesTheCallsInOrderAndFillsTheSlot) {
  ParameterMap in = LoginRequest("10.1.2.3", "admin", "p%s%n!", "6001");
  ParameterMap out{{"Unrelated", "kept"}};
  ASSERT_EQ(plugin::Execute(in, out), 0);
  EXPECT_EQ(out, (ParameterMap{{"Unrelated", "kept"}, {"LOGINID", "0"}, {"ChanNum", "1"}}));

  EXPECT_EQ(CallNames(), (Names{"TMCC_Init", "TMCC_RegisterConnectCallBack", "TMCC_IsConnect",
                                "TMCC_SetTimeOut", "TMCC_SetAutoReConnect", "TMCC_Connect"}));
  const auto calls = fake_tmcc::Calls();
  EXPECT_EQ(calls[0].args, (std::vector<int64_t>{0}));
  const int64_t handle = calls[1].args[0];
  EXPECT_EQ(calls[1].args[2], reinterpret_cast<intptr_t>(events::EventServiceInstance()));
  EXPECT_EQ(calls[3].args, (std::vector<int64_t>{handle, 3000}));
  EXPECT_EQ(calls[4].args, (std::vector<int64_t>{handle, 1}));
  EXPECT_EQ(calls[5].args[0], handle);
  EXPECT_EQ(calls[5].args[2], 0);

  // The record, byte for byte: every text taken literally, '%' included.
  std::vector<uint8_t> expected(236, 0);
  const auto put = [&expected](size_t offset, const std::string& text) {
    std::memcpy(expected.data() + offset, text.data(), text.size());
  };
  const int32_t size = 236, port = 6001;
  std::memcpy(expected.data(), &size, 4);
  put(4, "10.1.2.3");
  std::memcpy(expected.data() + 36, &port, 4);
  put(40, "admin");
  put(72, "p%s%n!");
  put(108, "user level test!");
  EXPECT_EQ(calls[5].record, expected);

  DeviceSlot& slot = Slot(0);
  EXPECT_EQ(slot.loginHandle.load(), handle);
  EXPECT_EQ(slot.deviceIp, "10.1.2.3");
  EXPECT_EQ(slot.user, "admin");
  EXPECT_EQ(slot.password, "p%s%n!");
  EXPECT_EQ(slot.devicePort.load(), 6001);
  EXPECT_EQ(slot.inUse.load(), 1);
  EXPECT_EQ(LoginThroughExecute("10.1.2.4"), 1);
}

TEST_F(LoginTest, AConnectedFreshClientIsDisconnectedBeforeTheConnect) {
  fake_tmcc::SetResult("TMCC_IsConnect", 1);
  ASSERT_EQ(LoginThroughExecute(), 0);
  EXPECT_EQ(CallNames(),
            (Names{"TMCC_Init", "TMCC_RegisterConnectCallBack", "TMCC_IsConnect", "TMCC_DisConnect",
                   "TMCC_SetTimeOut", "TMCC_SetAutoReConnect", "TMCC_Connect"}));
}

TEST_F(LoginTest, RefusedLoginReleasesItsClientAndFreesTheSlot) {
  fake_tmcc::SetResult("TMCC_Connect", -104);
  ParameterMap in = LoginRequest("10.1.2.3", "admin", "wrong", "6001");
  ParameterMap out;
  EXPECT_EQ(plugin::Execute(in, out), -104);
  EXPECT_TRUE(out.empty());
  const int64_t handle = CallsNamed("TMCC_Connect")[0].args[0];
  EXPECT_EQ(CallNames().back(), "TMCC_Done");
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{static_cast<int32_t>(handle)}));
  EXPECT_EQ(Slot(0).inUse.load(), 0);

  for (int i = 0; i < 300; ++i) ASSERT_EQ(Exec(LoginRequest("a", "b", "c", "1")), -104);
  fake_tmcc::SetResult("TMCC_Connect", 0);
  for (int32_t i = 0; i < kSlotCount; ++i) ASSERT_EQ(LoginThroughExecute(), i);
}

TEST_F(LoginTest, NoClientFromTheLibraryFailsWithItsOwnCode) {
  fake_tmcc::QueueResult("TMCC_Init", 0);
  ParameterMap in = LoginRequest("10.1.2.3", "admin", "secret", "6001");
  ParameterMap out;
  EXPECT_EQ(plugin::Execute(in, out), static_cast<int32_t>(0xC0000001u));
  EXPECT_EQ(CallNames(), (Names{"TMCC_Init"}));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Slot(0).inUse.load(), 0);
}

TEST_F(LoginTest, TextsThatDoNotFitTheirFieldAreRefusedBeforeAnyLibraryCall) {
  const std::string fits(31, 'x');
  const std::string tooLong(32, 'x');
  for (int field = 0; field < 3; ++field) {
    ParameterMap in = LoginRequest(field == 0 ? tooLong : "ip", field == 1 ? tooLong : "user",
                                   field == 2 ? tooLong : "pw", "6001");
    ParameterMap out;
    EXPECT_EQ(plugin::Execute(in, out), -1) << field;
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(fake_tmcc::Calls().empty());
    EXPECT_EQ(Slot(0).inUse.load(), 0);
  }
  ASSERT_EQ(LoginThroughExecute(fits, fits, fits), 0);
  const auto record = CallsNamed("TMCC_Connect")[0].record;
  EXPECT_EQ(ReadText(record, 4, 32), fits);
  EXPECT_EQ(ReadText(record, 40, 32), fits);
  EXPECT_EQ(ReadText(record, 72, 32), fits);
  EXPECT_EQ(Slot(0).deviceIp, fits);
}

TEST_F(LoginTest, TextsHoldingANulAreRefusedAndTheSlotIsFreeAgain) {
  // "admin\0zz" must not log in as "admin".
  const std::string nul("admin\0zz", 8);
  for (int field = 0; field < 3; ++field) {
    ParameterMap in = LoginRequest(field == 0 ? nul : "ip", field == 1 ? nul : "user",
                                   field == 2 ? nul : "pw", "6001");
    ParameterMap out;
    EXPECT_EQ(plugin::Execute(in, out), -1) << field;
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(fake_tmcc::Calls().empty());
    EXPECT_EQ(Slot(0).inUse.load(), 0);
  }
  EXPECT_EQ(LoginThroughExecute(), 0);
}

TEST_F(LoginTest, NoFreeSlotReadsNoInputAndWritesNothing) {
  for (int32_t i = 0; i < kSlotCount; ++i) ASSERT_EQ(AllocateSlot(), i);
  ParameterMap in{{"Operation", "1"}};
  ParameterMap out;
  EXPECT_EQ(plugin::Execute(in, out), 14);
  EXPECT_EQ(in, (ParameterMap{{"Operation", "1"}}));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(LoginTest, PortWithoutANumberIsRefusedWithoutDeviceWork) {
  for (const char* port : {"", "port", "99999999999"}) {
    ParameterMap in{{"Operation", "1"}};
    if (*port != '\0') in["DevicePort"] = port;
    ParameterMap out;
    EXPECT_EQ(plugin::Execute(in, out), -1) << port;
    EXPECT_EQ(
        in.count("DeviceIP") + in.count("User") + in.count("Password") + in.count("DevicePort"),
        4u);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(fake_tmcc::Calls().empty());
    EXPECT_EQ(Slot(0).inUse.load(), 0);
  }
}

TEST_F(LoginTest, FaultInsideTheLoginFreesTheSlotAndStopsCallingTheLibrary) {
  fake_tmcc::SetAction("TMCC_SetTimeOut", test::NullWrite);
  ParameterMap in = LoginRequest("10.1.2.3", "admin", "secret", "6001");
  ParameterMap out;
  EXPECT_NE(plugin::Execute(in, out), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(CallNames().back(), "TMCC_SetTimeOut");
  EXPECT_EQ(Slot(0).inUse.load(), 0);
  fake_tmcc::SetAction("TMCC_SetTimeOut", nullptr);
  EXPECT_EQ(LoginThroughExecute(), 0);
}

TEST_F(LoginTest, LogoutReleasesTheLoginAndFreesTheSlotForTheNextLogin) {
  ASSERT_EQ(LoginThroughExecute(), 0);
  const int32_t handle = Slot(0).loginHandle.load();
  fake_tmcc::ClearCalls();
  EXPECT_EQ(Exec({{"Operation", "2"}, {"LOGINID", "0"}}), 0);
  EXPECT_EQ(CallNames(),
            (Names{"TMCC_StopVoiceCom", "TMCC_IsConnect", "TMCC_DisConnect", "TMCC_Done"}));
  for (const auto& call : fake_tmcc::Calls()) EXPECT_EQ(call.args[0], handle);
  EXPECT_EQ(Slot(0).inUse.load(), 0);
  EXPECT_EQ(Slot(0).loginHandle.load(), kNoHandle);
  EXPECT_EQ(LoginThroughExecute(), 0);
}

TEST_F(LoginTest, LogoutOfAnUnknownOrEmptySlotCallsNothing) {
  for (const char* id : {"256", "-1", "", "x"}) {
    EXPECT_EQ(Exec({{"Operation", "2"}, {"LOGINID", id}}), 10) << id;
  }
  EXPECT_EQ(Exec({{"Operation", "2"}, {"LOGINID", "5"}}), 0);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
  EXPECT_EQ(Slot(5).inUse.load(), 0);
}

TEST_F(LoginTest, LogoutClosesTheStreamAndKeepsTheRecordedBytes) {
  test::TempDir dir;
  ASSERT_EQ(LoginThroughExecute(), 0);
  int32_t stream = -1;
  ASSERT_EQ(media::OpenLiveStream(0, 0, &stream, "admin", "secret", "10.1.2.3", 0), 0);
  media::StoreLiveStream(0, stream, 0, 0);
  const std::string file = dir.File("cam1");
  ASSERT_EQ(Exec({{"Operation", "21"}, {"Handle", "0"}, {"FileName", file}}), 0);

  std::vector<uint8_t> header{0, 0, 0, 1, 0x67, 0x42};
  std::vector<uint8_t> frame{0, 0, 0, 1, 0x65, 0x88, 0x84};
  devicelib::StreamPacket packet{};
  packet.frameType = devicelib::kFrameHeader;
  packet.data = header.data();
  packet.length = static_cast<int32_t>(header.size());
  ASSERT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), 0);
  packet.frameType = devicelib::kFrameVideo;
  packet.keyFrame = 1;
  packet.data = frame.data();
  packet.length = static_cast<int32_t>(frame.size());
  ASSERT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), 0);

  fake_tmcc::ClearCalls();
  EXPECT_EQ(Exec({{"Operation", "2"}, {"LOGINID", "0"}}), 0);
  EXPECT_EQ(CallNames(), (Names{"TMCC_StopVoiceCom", "TMCC_CloseStream", "TMCC_Done",
                                "TMCC_IsConnect", "TMCC_DisConnect", "TMCC_Done"}));
  EXPECT_EQ(CallsNamed("TMCC_CloseStream")[0].args[0], stream);
  // Nothing of the stream reaches the slot any more.
  EXPECT_EQ(fake_tmcc::FireStreamPacket(stream, &packet), INT32_MIN);

  std::ifstream in(file + ".264", std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  std::vector<uint8_t> expected = header;
  expected.insert(expected.end(), frame.begin(), frame.end());
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(Slot(0).recordFile.load(), nullptr);
}

int32_t QRV_CALLBACK IgnoreStatus(int32_t, int32_t, const char*, int32_t, int32_t) {
  return 0;
}

// Logouts race a connection monitor that polls the same logins: a released
// login client must never be asked for its state afterwards.
TEST_F(LoginTest, MonitorNeverUsesAReleasedLoginClient) {
  events::EventService* service = events::CreateEventService();
  events::RegisterConnectionStatusCallback(IgnoreStatus);
  std::atomic<bool> stop{false};
  std::thread monitor([&] {
    while (!stop.load()) events::RunMonitorPass(*service);
  });
  for (int round = 0; round < 300; ++round) {
    ASSERT_EQ(LoginThroughExecute(), 0);
    ASSERT_EQ(Exec({{"Operation", "2"}, {"LOGINID", "0"}}), 0);
  }
  stop = true;
  monitor.join();

  std::set<int64_t> released;
  int polls = 0;
  for (const auto& call : fake_tmcc::Calls()) {
    if (call.name == "TMCC_Done") released.insert(call.args[0]);
    if (call.name == "TMCC_IsConnect") {
      ++polls;
      EXPECT_EQ(released.count(call.args[0]), 0u) << "handle " << call.args[0];
    }
  }
  EXPECT_GE(polls, 600);  // each login and logout asks once themselves
}

}  // namespace
}  // namespace qrv::device
