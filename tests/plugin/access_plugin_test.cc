#include "plugin/access_plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>

#include "device/device_table.h"
#include "events/event_service.h"
#include "events/host_callbacks.h"
#include "tests/device/test_helpers.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace qrv::plugin {
namespace {

using device::Slot;
using Names = std::vector<std::string>;

class AccessPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_tmcc::Reset();
    plugin_ = std::make_unique<CQRVAccessPlugin>();
  }
  void TearDown() override {
    plugin_->Uninit();
    test::ClearDevices();
  }

  int32_t Login(IAccess& object) {
    ParameterMap in{{"Operation", "1"},
                    {"DeviceIP", "10.9.8.7"},
                    {"User", "admin"},
                    {"Password", "pw"},
                    {"DevicePort", "6001"}};
    ParameterMap out;
    if (object.Execute(in, out) != 0) return -1;
    return std::stoi(out["LOGINID"]);
  }
  int32_t OpenStream(int32_t slot) {
    ParameterMap in{{"Operation", "3"},  {"LOGINID", std::to_string(slot)},
                    {"PlayWnd", "0"},    {"DeviceIP", "10.9.8.7"},
                    {"User", "admin"},   {"Password", "pw"},
                    {"StreamType", "0"}, {"Channel", "0"}};
    ParameterMap out;
    return plugin_->Execute(in, out);
  }

  std::unique_ptr<CQRVAccessPlugin> plugin_;
};

TEST_F(AccessPluginTest, InitFillsTheModuleInformation) {
  EXPECT_EQ(plugin_->moduleInfo.name, "");
  EXPECT_EQ(plugin_->moduleInfo.version, "");
  EXPECT_EQ(plugin_->GetAccessType(), 11);
  EXPECT_EQ(plugin_->Init(), 1);
  EXPECT_EQ(plugin_->moduleInfo.name, "PLUGIN.Access.QRV");
  EXPECT_EQ(plugin_->moduleInfo.version, "1.0");
  EXPECT_EQ(plugin_->moduleInfo.extraValue, 0);
  EXPECT_EQ(plugin_->GetAccessType(), 11);
  EXPECT_NE(events::EventServiceInstance(), nullptr);
}

TEST_F(AccessPluginTest, InitUninitInitReleasesEveryClientExactlyOnce) {
  ASSERT_EQ(plugin_->Init(), 1);
  ASSERT_EQ(Login(*plugin_), 0);
  ASSERT_EQ(OpenStream(0), 0);
  const int32_t login = Slot(0).loginHandle.load();
  const int32_t stream = Slot(0).streamHandle.load();
  plugin_->Uninit();
  EXPECT_EQ(plugin_->Init(), 1);
  const auto released = fake_tmcc::ReleasedHandles();
  EXPECT_EQ(std::count(released.begin(), released.end(), login), 1);
  EXPECT_EQ(std::count(released.begin(), released.end(), stream), 1);
  EXPECT_EQ(std::set<int32_t>(released.begin(), released.end()).size(), released.size());
  EXPECT_EQ(Slot(0).inUse.load(), 0);
  EXPECT_EQ(Login(*plugin_), 0);
}

TEST_F(AccessPluginTest, SecondInitReleasesWhatLoggedInSlotsHold) {
  test::TempDir dir;
  ASSERT_EQ(plugin_->Init(), 1);
  ASSERT_EQ(Login(*plugin_), 0);
  ASSERT_EQ(OpenStream(0), 0);
  ParameterMap in{{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("rec")}};
  ParameterMap out;
  ASSERT_EQ(plugin_->Execute(in, out), 0);
  const int32_t login = Slot(0).loginHandle.load();
  const int32_t stream = Slot(0).streamHandle.load();
  fake_tmcc::ClearCalls();

  EXPECT_EQ(plugin_->Init(), 1);
  // The connection monitor still polls from its own thread meanwhile.
  EXPECT_EQ(fake_tmcc::CallNamesFrom(std::this_thread::get_id()),
            (Names{"TMCC_StopVoiceCom", "TMCC_CloseStream", "TMCC_Done", "TMCC_IsConnect",
                   "TMCC_DisConnect", "TMCC_Done"}));
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{stream, login}));
  EXPECT_EQ(Slot(0).inUse.load(), 0);
  EXPECT_EQ(Slot(0).recording.load(), 0);
  EXPECT_EQ(Slot(0).recordFile.load(), nullptr);
}

TEST_F(AccessPluginTest, TwoObjectsShareOneTable) {
  ASSERT_EQ(plugin_->Init(), 1);
  auto other = std::make_unique<CQRVAccessPlugin>();
  ASSERT_EQ(Login(*plugin_), 0);
  ASSERT_EQ(Login(*other), 1);
  ParameterMap in{{"Operation", "2"}, {"LOGINID", "0"}};
  ParameterMap out;
  EXPECT_EQ(other->Execute(in, out), 0);
  EXPECT_EQ(Slot(0).inUse.load(), 0);
  EXPECT_EQ(Login(*plugin_), 0);
}

TEST_F(AccessPluginTest, ProcessorFaultInsideInitGivesMinusOneAndTheNextInitWorks) {
  ASSERT_EQ(plugin_->Init(), 1);
  ASSERT_EQ(Login(*plugin_), 0);
  fake_tmcc::SetAction("TMCC_StopVoiceCom", test::NullWrite);
  EXPECT_EQ(plugin_->Init(), -1);
  fake_tmcc::SetAction("TMCC_StopVoiceCom", test::DivideByZero);
  EXPECT_EQ(plugin_->Init(), -1);
  fake_tmcc::SetAction("TMCC_StopVoiceCom", nullptr);
  bool lockFree = false;
  std::thread other([&lockFree] {
    lockFree = device::TableLock().TryEnter();
    if (lockFree) device::TableLock().Leave();
  });
  other.join();
  EXPECT_TRUE(lockFree);
  EXPECT_EQ(plugin_->Init(), 1);
  EXPECT_EQ(Slot(0).inUse.load(), 0);
}

struct Delivery {
  int32_t type;
  std::vector<uint8_t> bytes;
  uint32_t keyFrame;
  uintptr_t user;
};
std::vector<Delivery> g_deliveries;

int32_t QRV_CALLBACK CollectData(int32_t type, const uint8_t* data, uint32_t length,
                                 StreamFrameInfo info, uintptr_t user) {
  g_deliveries.push_back({type, std::vector<uint8_t>(data, data + length), info.keyFrame, user});
  return 0;
}

TEST_F(AccessPluginTest, StreamDataRegistrationChecksTheSlotAndReplaysCachedHeaders) {
  EXPECT_EQ(plugin_->SetStreamDataCallback(256, CollectData, 1), 10);
  EXPECT_EQ(plugin_->SetStreamDataCallback(0xFFFFFFFFu, CollectData, 1), 10);
  ASSERT_EQ(plugin_->Init(), 1);
  EXPECT_EQ(plugin_->SetStreamDataCallback(255, CollectData, 1), 0);
  EXPECT_EQ(Slot(255).dataCallback.load(), CollectData);
  EXPECT_TRUE(g_deliveries.empty());  // nothing cached yet

  const uint8_t first[] = {1, 2, 3};
  const uint8_t later[] = {4, 5};
  Slot(3).header1.Store(first, sizeof(first));
  Slot(3).header2.Store(later, sizeof(later));
  Slot(3).headerCount = 2;
  const uintptr_t user = ~uintptr_t{0} - 5;
  EXPECT_EQ(plugin_->SetStreamDataCallback(3, CollectData, user), 0);
  ASSERT_EQ(g_deliveries.size(), 2u);
  EXPECT_EQ(g_deliveries[0].type, 1);
  EXPECT_EQ(g_deliveries[0].bytes, std::vector<uint8_t>(first, first + 3));
  EXPECT_EQ(g_deliveries[1].type, 3);
  EXPECT_EQ(g_deliveries[1].bytes, std::vector<uint8_t>(later, later + 2));
  for (const auto& delivery : g_deliveries) {
    EXPECT_EQ(delivery.keyFrame, 0u);
    EXPECT_EQ(delivery.user, user);
  }
  g_deliveries.clear();
  EXPECT_EQ(plugin_->SetStreamDataCallback(3, nullptr, 0), 0);
  EXPECT_EQ(Slot(3).dataCallback.load(), nullptr);
  EXPECT_TRUE(g_deliveries.empty());
}

int32_t QRV_CALLBACK AlarmF(int32_t, int32_t, int32_t, int32_t) {
  return 0;
}
int32_t QRV_CALLBACK AlarmG(int32_t, int32_t, int32_t, int32_t) {
  return 1;
}
int32_t QRV_CALLBACK DiscoveryF(DiscoveryRecord) {
  return 0;
}
int32_t QRV_CALLBACK DiscoveryG(DiscoveryRecord) {
  return 1;
}
int32_t QRV_CALLBACK StatusF(int32_t, int32_t, const char*, int32_t, int32_t) {
  return 0;
}
int32_t QRV_CALLBACK StatusG(int32_t, int32_t, const char*, int32_t, int32_t) {
  return 1;
}

TEST_F(AccessPluginTest, TheFirstNonNullRegistrationWinsForGood) {
  events::ForgetHostCallbacksForTests();  // an earlier repeat registered already
  EXPECT_EQ(plugin_->SetAlarmCallback(nullptr, 0), 0);
  EXPECT_EQ(events::CurrentAlarmCallback(), nullptr);
  EXPECT_EQ(plugin_->SetAlarmCallback(AlarmF, 0), 0);
  EXPECT_EQ(plugin_->SetAlarmCallback(AlarmG, 7), 0);
  EXPECT_EQ(plugin_->SetAlarmCallback(nullptr, 0), 0);
  EXPECT_EQ(events::CurrentAlarmCallback(), AlarmF);

  plugin_->SetDiscoveryCallback(nullptr);
  plugin_->SetDiscoveryCallback(DiscoveryF);
  CQRVAccessPlugin other;
  other.SetDiscoveryCallback(DiscoveryG);
  EXPECT_EQ(events::CurrentDiscoveryCallback(), DiscoveryF);

  EXPECT_EQ(other.SetConnectionStatusCallback(StatusF, 0), 0);
  EXPECT_EQ(plugin_->SetConnectionStatusCallback(StatusG, 0), 0);
  EXPECT_EQ(events::CurrentConnectionStatusCallback(), StatusF);
  plugin_->Uninit();  // the monitor polls from now on; stop it before the table resets
}

TEST_F(AccessPluginTest, OneMapAsInputAndOutputHoldsBothResults) {
  const test::TempDir dir;
  struct Case {
    ParameterMap request;
    ParameterMap expected;
  };
  const Case cases[] = {
      {{{"Operation", "1"},
        {"DeviceIP", "127.0.0.7"},
        {"User", "admin"},
        {"Password", "pw"},
        {"DevicePort", "6001"}},
       {{"Operation", "1"},
        {"DeviceIP", "127.0.0.7"},
        {"User", "admin"},
        {"Password", "pw"},
        {"DevicePort", "6001"},
        {"LOGINID", "0"},
        {"ChanNum", "1"}}},
      {{{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("cam1")}},
       {{"Operation", "21"}, {"Handle", "0"}, {"FileName", dir.File("cam1.264")}}},
  };
  for (const Case& c : cases) {
    ParameterMap both = c.request;
    EXPECT_EQ(plugin_->Execute(both, both), 0) << c.request.at("Operation");
    EXPECT_EQ(both, c.expected);
  }
  ParameterMap stop{{"Operation", "22"}, {"Handle", "0"}};
  EXPECT_EQ(plugin_->Execute(stop, stop), 0);  // the file closes before dir goes
}

TEST_F(AccessPluginTest, RefreshDiscoveryReportsSuccessWithZero) {
  ASSERT_EQ(plugin_->Init(), 1);
  fake_tmcc::QueueResult("TMCC_RefreshEnum", -1);  // refused: no pause for answers
  ParameterMap in{{"Operation", "42"}};
  ParameterMap out;
  EXPECT_EQ(plugin_->Execute(in, out), 0);
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_RefreshEnum").size(), 1u);
  EXPECT_TRUE(out.empty());
}

TEST_F(AccessPluginTest, ServiceStatusTellsWhetherTheAlarmListenerListens) {
  auto status = [this] {
    ParameterMap in{{"Operation", "101"}};
    ParameterMap out;
    EXPECT_EQ(plugin_->Execute(in, out), 0);
    return out;
  };
  ASSERT_EQ(plugin_->Init(), 1);
  ASSERT_EQ(Login(*plugin_), 0);
  ASSERT_EQ(Login(*plugin_), 1);
  EXPECT_EQ(status(), (ParameterMap{{"AlarmListener", "1"},
                                    {"AlarmPort", "5005"},
                                    {"Discovery", "1"},
                                    {"EventService", "1"},
                                    {"SlotsInUse", "2"}}));
  plugin_->Uninit();
  auto stopped = status();
  EXPECT_EQ(stopped["EventService"], "0");
  EXPECT_EQ(stopped["AlarmListener"], "0");
  EXPECT_EQ(stopped["Discovery"], "0");

  // Another process holds the port: the host hears of it once, and can ask.
  test::DebugCapture debug;
  fake_tmcc::SetResult("TMCC_StartListen", -5);
  fake_tmcc::SetResult("TMCC_StartEnum", -5);
  ASSERT_EQ(plugin_->Init(), 1);
  auto failed = status();
  EXPECT_EQ(failed["EventService"], "1");
  EXPECT_EQ(failed["AlarmListener"], "0");
  EXPECT_EQ(failed["Discovery"], "0");
  EXPECT_EQ(failed["SlotsInUse"], "0");
  const std::string said = debug.Text();
  const size_t first = said.find("port 5005");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(said.find("port 5005", first + 1), std::string::npos);
}

}  // namespace
}  // namespace qrv::plugin
