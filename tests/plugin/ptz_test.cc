#include "media/ptz.h"

#include <gtest/gtest.h>

#include "tests/device/test_helpers.h"

namespace qrv::media {
namespace {

using fake_tmcc::CallsNamed;

class PtzTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearDevices();
    login_ = TMCC_Init(0);
    device::Slot(3).loginHandle = login_;
  }
  void TearDown() override { test::ClearDevices(); }

  static int64_t login_;

  // Operation 29 on slot 3; the arguments of the one PTZ call, or empty.
  static std::vector<int64_t> Ptz(int32_t command, int32_t value, int32_t speed,
                                  int32_t* result = nullptr) {
    fake_tmcc::ClearCalls();
    ParameterMap in{{"Operation", "29"},
                    {"LOGINID", "3"},
                    {"PTZCommand", std::to_string(command)},
                    {"INValue", std::to_string(value)},
                    {"Speed", std::to_string(speed)}};
    ParameterMap out;
    const int32_t r = plugin::Execute(in, out);
    if (result != nullptr) *result = r;
    EXPECT_TRUE(out.empty());
    const auto calls = CallsNamed("TMCC_PtzControl");
    EXPECT_LE(calls.size(), 1u);
    return calls.empty() ? std::vector<int64_t>{} : calls[0].args;
  }
};

int64_t PtzTest::login_ = 0;

TEST_F(PtzTest, SpeedRowsSendTheirCodeWithZeroFlagAndScaledSpeed) {
  const std::pair<int32_t, int32_t> rows[] = {{1, 21},  {2, 22},  {3, 23},  {4, 24},  {5, 27},
                                              {6, 28},  {7, 25},  {8, 26},  {12, 11}, {13, 12},
                                              {14, 13}, {15, 14}, {16, 15}, {17, 16}, {25, 3}};
  for (const auto& [command, code] : rows) {
    EXPECT_EQ(Ptz(command, 1, 5), (std::vector<int64_t>{login_, code, 0, 40})) << command;
  }
  EXPECT_EQ(Ptz(1, 0, 5), (std::vector<int64_t>{login_, 21, 1, 40}));
  EXPECT_EQ(Ptz(1, 7, 5), (std::vector<int64_t>{login_, 21, 0, 40}));
}

TEST_F(PtzTest, ScaledSpeedIsCappedAboveButNotBelow) {
  for (int32_t speed : {9, 10, 1000, INT32_MAX}) EXPECT_EQ(Ptz(2, 1, speed)[3], 80) << speed;
  EXPECT_EQ(Ptz(2, 1, 1)[3], 0);
  EXPECT_EQ(Ptz(2, 1, 0)[3], -10);
  EXPECT_EQ(Ptz(2, 1, -5)[3], -60);
  // Speed - 1 wraps around to the largest value, which is capped.
  EXPECT_EQ(Ptz(2, 1, INT32_MIN)[3], 80);
}

TEST_F(PtzTest, ValueRowsSendTheValueTwice) {
  EXPECT_EQ(Ptz(9, 5, 3), (std::vector<int64_t>{login_, 100, 5, 5}));
  EXPECT_EQ(Ptz(10, 5, 99), (std::vector<int64_t>{login_, 101, 5, 5}));
  EXPECT_EQ(Ptz(11, -2, 0), (std::vector<int64_t>{login_, 102, -2, -2}));
}

TEST_F(PtzTest, AuxSwitchUsesTheRawSpeed) {
  EXPECT_EQ(Ptz(21, 0, 15), (std::vector<int64_t>{login_, 122, 14, 0}));
  EXPECT_EQ(Ptz(21, 3, 15), (std::vector<int64_t>{login_, 123, 14, 0}));
  EXPECT_EQ(Ptz(21, 3, INT32_MIN), (std::vector<int64_t>{login_, 123, INT32_MAX, 0}));
}

TEST_F(PtzTest, CommandsWithoutACallReturnTheirFixedResult) {
  int32_t result = 99;
  EXPECT_TRUE(Ptz(19, 1, 1, &result).empty());
  EXPECT_EQ(result, 0);
  for (int32_t command : {18, 20, 22, 23, 24, 0, 26, -3, INT32_MIN}) {
    EXPECT_TRUE(Ptz(command, 1, 1, &result).empty()) << command;
    EXPECT_EQ(result, -1) << command;
  }
}

TEST_F(PtzTest, LibraryResultPassesThroughAndAnyLoginHandleIsUsed) {
  fake_tmcc::SetResult("TMCC_PtzControl", -108);
  int32_t result = 0;
  Ptz(1, 1, 1, &result);
  EXPECT_EQ(result, -108);
  device::Slot(3).loginHandle = device::kNoHandle;
  EXPECT_EQ(Ptz(1, 1, 1)[0], -1);
}

TEST_F(PtzTest, KeysAreReadOnlyWhileTheRequestIsValid) {
  ParameterMap in{{"Operation", "29"}, {"LOGINID", "256"}};
  ParameterMap out;
  EXPECT_EQ(plugin::Execute(in, out), 10);
  EXPECT_EQ(in.size(), 2u);

  // The channel is read but plays no part; the command's numbers must hold one.
  in = {{"Operation", "29"}, {"LOGINID", "3"}, {"PTZCommand", "1"}, {"INValue", "1"}};
  fake_tmcc::ClearCalls();
  EXPECT_EQ(plugin::Execute(in, out), -1);
  EXPECT_EQ(in.count("Channel"), 1u);
  EXPECT_EQ(in.count("Speed"), 1u);
  EXPECT_TRUE(fake_tmcc::Calls().empty());

  in = {{"Operation", "29"}, {"LOGINID", "3"}, {"PTZCommand", "x"}};
  EXPECT_EQ(plugin::Execute(in, out), -1);
  EXPECT_EQ(in.count("INValue"), 0u);
  EXPECT_TRUE(fake_tmcc::Calls().empty());

  in = {{"Operation", "29"}, {"LOGINID", "3"}, {"Channel", "junk"},
        {"PTZCommand", "1"}, {"INValue", "1"}, {"Speed", "5"}};
  EXPECT_EQ(plugin::Execute(in, out), 0);
  EXPECT_EQ(CallsNamed("TMCC_PtzControl").size(), 1u);
}

TEST_F(PtzTest, SpeedWithoutANumberRefusesOnlyCommandsThatSendIt) {
  auto run = [](const char* command, const char* speed, bool withSpeed = true) {
    ParameterMap in{
        {"Operation", "29"}, {"LOGINID", "3"}, {"PTZCommand", command}, {"INValue", "7"}};
    if (withSpeed) in["Speed"] = speed;
    ParameterMap out;
    fake_tmcc::ClearCalls();
    const int32_t result = plugin::Execute(in, out);
    EXPECT_EQ(in.count("Speed"), 1u);  // read in every case
    return result;
  };
  // Value rows send the value twice and no speed.
  EXPECT_EQ(run("9", "", false), 0);
  ASSERT_EQ(CallsNamed("TMCC_PtzControl").size(), 1u);
  EXPECT_EQ(CallsNamed("TMCC_PtzControl")[0].args, (std::vector<int64_t>{login_, 100, 7, 7}));
  EXPECT_EQ(run("11", "fast"), 0);
  EXPECT_EQ(run("19", ""), 0);
  EXPECT_EQ(run("18", ""), -1);  // no call: its own fixed result
  EXPECT_TRUE(CallsNamed("TMCC_PtzControl").empty());
  // Speed rows and the auxiliary switch send it.
  EXPECT_EQ(run("1", "fast"), -1);
  EXPECT_EQ(run("21", ""), -1);
  EXPECT_TRUE(CallsNamed("TMCC_PtzControl").empty());
}

TEST_F(PtzTest, ValueWithoutANumberRefusesOnlyCommandsThatSendIt) {
  auto run = [](const char* command, const char* value, const char* speed = nullptr) {
    ParameterMap in{
        {"Operation", "29"}, {"LOGINID", "3"}, {"PTZCommand", command}, {"INValue", value}};
    if (speed != nullptr) in["Speed"] = speed;
    ParameterMap out;
    fake_tmcc::ClearCalls();
    const int32_t result = plugin::Execute(in, out);
    EXPECT_EQ(in.count("Speed"), 1u);  // read in every case
    return result;
  };
  // Commands without a call keep their fixed result.
  EXPECT_EQ(run("19", ""), 0);
  EXPECT_EQ(run("18", "up"), -1);
  EXPECT_EQ(run("26", ""), -1);
  EXPECT_TRUE(fake_tmcc::Calls().empty());
  // Every call carries it: as the stop flag, as the preset, as scan on or off.
  for (const char* command : {"1", "10", "21"}) {
    EXPECT_EQ(run(command, "x", "5"), -1) << command;
    EXPECT_TRUE(fake_tmcc::Calls().empty()) << command;
  }
}

}  // namespace
}  // namespace qrv::media
