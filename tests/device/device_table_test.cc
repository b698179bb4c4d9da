#include "device/device_table.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/fake_tmcc/fake_tmcc.h"

namespace qrv::device {
namespace {

class DeviceTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_tmcc::Reset();
    ResetAllSlots();
  }
  void TearDown() override { ResetAllSlots(); }

  static void ExpectReset(int32_t index) {
    DeviceSlot& slot = Slot(index);
    EXPECT_EQ(slot.loginHandle.load(), kNoHandle);
    EXPECT_EQ(slot.streamHandle.load(), kNoHandle);
    EXPECT_TRUE(slot.deviceIp.empty());
    EXPECT_EQ(slot.headerCount.load(), 0);
    EXPECT_EQ(slot.header1.Length() + slot.header2.Length(), 0);
    EXPECT_EQ(slot.header1.Capacity() + slot.header2.Capacity(), 8192u);
  }
};

TEST_F(DeviceTableTest, AllocationsGoLowestFirstUntilTheTableIsFull) {
  for (int32_t i = 0; i < kSlotCount; ++i) ASSERT_EQ(AllocateSlot(), i);
  EXPECT_EQ(AllocateSlot(), kNoSlot);
  EXPECT_EQ(FreeSlot(7), kResultOk);
  EXPECT_EQ(Slot(7).inUse.load(), 0);
  EXPECT_EQ(AllocateSlot(), 7);
  EXPECT_EQ(AllocateSlot(), kNoSlot);
}

TEST_F(DeviceTableTest, AllocateAndFreeLeaveTheSlotReset) {
  const int32_t index = AllocateSlot();
  DeviceSlot& slot = Slot(index);
  ExpectReset(index);
  EXPECT_EQ(slot.inUse.load(), 1);

  slot.loginHandle = 5;
  slot.streamHandle = 6;
  slot.deviceIp = "10.0.0.1";
  slot.devicePort = 80;
  const uint8_t header[] = {1, 2, 3};
  slot.header1.Store(header, sizeof(header));
  slot.headerCount = 1;
  EXPECT_EQ(FreeSlot(index), kResultOk);
  ExpectReset(index);
  EXPECT_EQ(slot.inUse.load(), 0);

  // Freeing a free slot keeps it free and reset.
  EXPECT_EQ(FreeSlot(index), kResultOk);
  ExpectReset(index);
  EXPECT_EQ(slot.inUse.load(), 0);
  EXPECT_TRUE(fake_tmcc::Calls().empty());  // the table never calls the library
}

TEST_F(DeviceTableTest, FreeSlotOutsideTheTableChangesNothing) {
  ASSERT_EQ(AllocateSlot(), 0);
  EXPECT_EQ(FreeSlot(256), kResultBadSlot);
  EXPECT_EQ(FreeSlot(-1), kResultBadSlot);
  EXPECT_EQ(Slot(0).inUse.load(), 1);
  EXPECT_EQ(AllocateSlot(), 1);
}

TEST_F(DeviceTableTest, FindSlotByIpIsExactAndTakesTheLowestMatch) {
  Slot(3).deviceIp = "192.168.1.20";
  Slot(9).deviceIp = "192.168.1.20";
  Slot(4).deviceIp = "cam.Local";
  EXPECT_EQ(FindSlotByIp("192.168.1.20"), 3);
  EXPECT_EQ(FindSlotByIp("192.168.1.20 "), kNoSlot);
  EXPECT_EQ(FindSlotByIp("192.168.1.2"), kNoSlot);
  EXPECT_EQ(FindSlotByIp("cam.local"), kNoSlot);
  EXPECT_EQ(FindSlotByIp("cam.Local"), 4);
  // An empty text matches the lowest slot without an address.
  EXPECT_EQ(FindSlotByIp(""), 0);
  Slot(0).deviceIp = "a";
  EXPECT_EQ(FindSlotByIp(""), 1);
}

TEST_F(DeviceTableTest, AllocatingASlotWithALeftoverStreamClosesItFirst) {
  // A stream opened on a free slot (the host may do so without a login).
  const int32_t stream = TMCC_Init(5);
  Slot(0).streamHandle = stream;
  fake_tmcc::ClearCalls();
  EXPECT_EQ(AllocateSlot(), 0);
  EXPECT_EQ(Slot(0).streamHandle.load(), kNoHandle);
  EXPECT_EQ(fake_tmcc::CallNames(), (std::vector<std::string>{"TMCC_CloseStream", "TMCC_Done"}));
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{stream}));
}

TEST_F(DeviceTableTest, ConcurrentAllocationsNeverShareASlot) {
  constexpr int kThreads = 4;
  std::vector<int32_t> got[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&got, t] {
      for (int i = 0; i < kSlotCount / kThreads; ++i) got[t].push_back(AllocateSlot());
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<bool> seen(kSlotCount, false);
  for (const auto& list : got) {
    for (int32_t index : list) {
      ASSERT_TRUE(IsValidSlot(index));
      EXPECT_FALSE(seen[index]) << index;
      seen[index] = true;
    }
  }
  EXPECT_EQ(AllocateSlot(), kNoSlot);
}

}  // namespace
}  // namespace qrv::device
