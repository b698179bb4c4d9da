#include "device/voice_talk.h"

#include <gtest/gtest.h>

#include "device/device_table.h"
#include "tests/device/test_helpers.h"

namespace qrv::device {
namespace {

using fake_tmcc::CallNames;
using fake_tmcc::CallsNamed;
using test::Exec;
using test::ReadInt;
using test::ReadText;
using Names = std::vector<std::string>;

class VoiceTalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearDevices();
    ASSERT_EQ(test::LoginThroughExecute("192.168.7.9", "admin", "pass", "8000"), 0);
    login_ = Slot(0).loginHandle.load();
    fake_tmcc::ClearCalls();
  }
  void TearDown() override { test::ClearDevices(); }

  static int32_t StartTalk(const std::string& id, std::string* handleOut = nullptr) {
    ParameterMap in{{"Operation", "35"}, {"LOGINID", id}};
    ParameterMap out;
    const int32_t result = plugin::Execute(in, out);
    if (handleOut != nullptr) *handleOut = out["Handle"];
    return result;
  }

  int32_t login_ = -1;
};

TEST_F(VoiceTalkTest, StartFillsAZeroedRecordFromTheSlotAndSkipsTheMuteWithoutAStream) {
  std::string handle;
  EXPECT_EQ(StartTalk("0", &handle), 0);
  EXPECT_EQ(handle, "0");
  ASSERT_EQ(CallNames(), (Names{"TMCC_StartVoiceCom"}));
  const auto call = CallsNamed("TMCC_StartVoiceCom")[0];
  EXPECT_EQ(call.args[0], login_);
  const auto& record = call.record;
  ASSERT_EQ(record.size(), 236u);
  EXPECT_EQ(ReadInt(record, 0), 236);
  EXPECT_EQ(ReadText(record, 4, 32), "192.168.7.9");
  EXPECT_EQ(ReadInt(record, 36), 8000);
  EXPECT_EQ(ReadText(record, 40, 32), "admin");
  EXPECT_EQ(record[45], 0);
  for (size_t i = 46; i < 72; ++i) EXPECT_EQ(record[i], 0) << i;
  EXPECT_EQ(ReadText(record, 72, 32), "pass");
  for (size_t i = 76; i < 236; ++i) EXPECT_EQ(record[i], 0) << i;
}

TEST_F(VoiceTalkTest, StartMutesTheLiveStreamFirstAndPassesTheLibraryResult) {
  Slot(0).streamHandle = 42;
  fake_tmcc::QueueResult("TMCC_StartVoiceCom", -108);
  EXPECT_EQ(StartTalk("0"), -108);
  EXPECT_EQ(CallNames(), (Names{"TMCC_SetMute", "TMCC_StartVoiceCom"}));
  EXPECT_EQ(CallsNamed("TMCC_SetMute")[0].args, (std::vector<int64_t>{42, 1}));
}

TEST_F(VoiceTalkTest, SlotNumbersOutOfRangeAreRefusedAndStillEchoed) {
  std::string handle;
  EXPECT_EQ(StartTalk("300", &handle), 10);
  EXPECT_EQ(handle, "300");
  EXPECT_EQ(StartTalk("-1", &handle), 10);
  EXPECT_EQ(handle, "-1");
  EXPECT_EQ(StartTalk("none", &handle), 10);
  EXPECT_EQ(handle, "-1");
  EXPECT_EQ(Exec({{"Operation", "36"}, {"Handle", "-1"}}), 10);
  EXPECT_EQ(Exec({{"Operation", "23"}, {"Handle", "256"}}), 10);
  EXPECT_EQ(Exec({{"Operation", "24"}, {"Handle", ""}}), 10);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(VoiceTalkTest, SlotsWithoutALoginCallNothing) {
  std::string handle;
  EXPECT_EQ(StartTalk("5", &handle), 0);
  EXPECT_EQ(handle, "5");
  EXPECT_EQ(Exec({{"Operation", "36"}, {"Handle", "5"}}), 0);
  EXPECT_EQ(Exec({{"Operation", "23"}, {"Handle", "5"}}), 0);
  EXPECT_EQ(Exec({{"Operation", "24"}, {"Handle", "5"}}), 0);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

TEST_F(VoiceTalkTest, AudioSwitchesAndStopActOnTheLoginClient) {
  Slot(0).streamHandle = 42;
  EXPECT_EQ(Exec({{"Operation", "24"}, {"Handle", "0"}}), 0);
  EXPECT_EQ(Exec({{"Operation", "23"}, {"Handle", "0"}}), 0);
  fake_tmcc::SetResult("TMCC_StopVoiceCom", -103);
  EXPECT_EQ(Exec({{"Operation", "36"}, {"Handle", "0"}}), 0);
  const auto calls = fake_tmcc::Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].args, (std::vector<int64_t>{login_, 1}));
  EXPECT_EQ(calls[1].args, (std::vector<int64_t>{login_, 0}));
  EXPECT_EQ(calls[2].name, "TMCC_StopVoiceCom");
  EXPECT_EQ(calls[2].args, (std::vector<int64_t>{login_}));

  // A switch the library refused is reported.
  fake_tmcc::QueueResult("TMCC_SetMute", -103);
  EXPECT_EQ(Exec({{"Operation", "24"}, {"Handle", "0"}}), -1);
  fake_tmcc::QueueResult("TMCC_SetMute", -103);
  EXPECT_EQ(Exec({{"Operation", "23"}, {"Handle", "0"}}), -1);
  EXPECT_EQ(Exec({{"Operation", "23"}, {"Handle", "0"}}), 0);
}

TEST_F(VoiceTalkTest, SlotTextsTooLongForTheRecordAreRefused) {
  {
    platform::ScopedLock lock(&TableLock());
    Slot(0).user = std::string(32, 'u');
  }
  EXPECT_EQ(StartTalk("0"), -1);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
}

}  // namespace
}  // namespace qrv::device
