// Opening, storing and closing live streams against the device-library double.
#include <gtest/gtest.h>

#include <cstring>

#include "media/stream_connect_record.h"
#include "media_test_support.h"
#include "support/debug_capture.h"

namespace qrv::test {
namespace {

using Calls = std::vector<fake_tmcc::Call>;

class LiveStreamTest : public MediaTest {};

void PutLe32(Bytes& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutText(Bytes& bytes, size_t offset, const std::string& text) {
  std::memcpy(bytes.data() + offset, text.data(), text.size());
}

TEST_F(LiveStreamTest, OpenMakesTheLibraryCallsInOrderWithTheRecord) {
  DebugCapture capture;
  int32_t handle = -99;
  ASSERT_EQ(media::OpenLiveStream(257, 7, &handle, "operator", "pa55", "192.168.1.64", 0xBEEF), 0);
  EXPECT_EQ(handle, 1);

  const Calls calls = fake_tmcc::Calls();
  const std::vector<std::string> names = {"TMCC_Init",
                                          "TMCC_SetAutoReConnect",
                                          "TMCC_SetDisplayShow",
                                          "TMCC_SetStreamBufferTime",
                                          "TMCC_RegisterStreamCallBack",
                                          "TMCC_ConnectStream"};
  ASSERT_EQ(fake_tmcc::CallNames(), names);
  EXPECT_EQ(calls[0].args, (std::vector<int64_t>{5}));
  EXPECT_EQ(calls[1].args, (std::vector<int64_t>{handle, 1}));
  EXPECT_EQ(calls[2].args, (std::vector<int64_t>{handle, 1}));
  EXPECT_EQ(calls[3].args, (std::vector<int64_t>{handle, 0}));
  ASSERT_EQ(calls[4].args.size(), 3u);
  EXPECT_EQ(calls[4].args[1],
            static_cast<int64_t>(reinterpret_cast<intptr_t>(&media::StreamPacketCallback)));
  EXPECT_EQ(calls[4].args[2], 7) << "the slot number is the callback context";
  ASSERT_EQ(calls[5].args.size(), 3u);
  EXPECT_EQ(calls[5].args[0], handle);
  EXPECT_EQ(calls[5].args[2], 0xBEEF);

  Bytes want(280, 0);
  PutLe32(want, 0, 280);
  PutText(want, 4, "192.168.1.64");
  PutLe32(want, 68, 6002);
  PutText(want, 72, "operator");
  PutText(want, 104, "pa55");
  want[137] = 1;  // low 8 bits of 257
  EXPECT_EQ(calls[5].record, want);

  // "preview handle 1\n" in GBK.
  EXPECT_EQ(capture.Text(), "\xD4\xA4\xC0\xC0\xBE\xE4\xB1\xFA 1\n");
}

TEST_F(LiveStreamTest, TextsMustFitTheirFieldsWithTheirTerminator) {
  const std::string longest(31, 'x'), tooLong(32, 'y');
  auto record = media::BuildStreamConnectRecord(longest, longest, longest, 0);
  ASSERT_TRUE(record.has_value());
  const auto* bytes = reinterpret_cast<const uint8_t*>(&*record);
  for (size_t field : {4u, 72u, 104u}) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + field)), longest);
    EXPECT_EQ(bytes[field + 31], 0);
  }

  int32_t handle = -99;
  EXPECT_EQ(media::OpenLiveStream(0, 1, &handle, tooLong, "p", "127.0.0.1", 0), -1);
  EXPECT_EQ(media::OpenLiveStream(0, 1, &handle, "u", tooLong, "127.0.0.1", 0), -1);
  EXPECT_EQ(media::OpenLiveStream(0, 1, &handle, "u", "p", tooLong + "1", 0), -1);
  EXPECT_EQ(media::OpenLiveStream(0, 256, &handle, "u", "p", "127.0.0.1", 0), -1);
  EXPECT_TRUE(fake_tmcc::Calls().empty()) << "refused before any library call";
  EXPECT_EQ(handle, -99);
}

TEST_F(LiveStreamTest, FailedConnectReleasesItsClientAndStoresNothing) {
  const int32_t slot = 12;
  fake_tmcc::QueueResult("TMCC_ConnectStream", 7);
  int32_t handle = -99;
  EXPECT_EQ(media::OpenLiveStream(1, slot, &handle, "u", "p", "127.0.0.1", 0), -1);
  EXPECT_EQ(handle, -99);
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{1}));
  EXPECT_EQ(fake_tmcc::CallNames().back(), "TMCC_Done");
  EXPECT_EQ(device::Slot(slot).streamHandle.load(), device::kNoHandle);
}

TEST_F(LiveStreamTest, StoreAndPlayWindowWriteTheSlot) {
  const int32_t slot = 13;
  media::StorePlayWindow(slot, 0xABCD);
  media::StoreLiveStream(slot, 42, 3, 257);
  const auto& entry = device::Slot(slot);
  EXPECT_EQ(entry.playWnd.load(), 0xABCDu);
  EXPECT_EQ(entry.streamHandle.load(), 42);
  EXPECT_EQ(entry.channel.load(), 3);
  EXPECT_EQ(entry.streamType.load(), 257);
}

TEST_F(LiveStreamTest, SecondStreamOnASlotReleasesTheFirstOnceConnected) {
  const int32_t slot = 14;
  const int32_t first = OpenStream(slot);
  fake_tmcc::ClearCalls();
  const int32_t second = OpenStream(slot);
  ASSERT_NE(first, second);
  const auto names = fake_tmcc::CallNames();
  // Six calls open the second, then the first is closed and released.
  ASSERT_EQ(names.size(), 8u);
  EXPECT_EQ(names[0], "TMCC_Init");
  EXPECT_EQ(names[5], "TMCC_ConnectStream");
  EXPECT_EQ(names[6], "TMCC_CloseStream");
  EXPECT_EQ(names[7], "TMCC_Done");
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_Done")[0].args[0], first);
  EXPECT_EQ(device::Slot(slot).streamHandle.load(), second);
  // The first client is gone: its packets never arrive.
  EXPECT_EQ(Fire(first, devicelib::kFrameVideo, Pattern(1, 4)), INT32_MIN);
}

TEST_F(LiveStreamTest, CloseReleasesTheClientExactlyOnce) {
  const int32_t slot = 15;
  media::CloseLiveStream(slot);
  media::CloseLiveStream(300);
  EXPECT_TRUE(fake_tmcc::Calls().empty()) << "no stream, nothing to close";

  const int32_t handle = OpenStream(slot);
  fake_tmcc::ClearCalls();
  media::CloseLiveStream(slot);
  EXPECT_EQ(fake_tmcc::CallNames(), (std::vector<std::string>{"TMCC_CloseStream", "TMCC_Done"}));
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_CloseStream")[0].args[0], handle);
  EXPECT_EQ(device::Slot(slot).streamHandle.load(), device::kNoHandle);
  media::CloseLiveStream(slot);
  EXPECT_EQ(fake_tmcc::ReleasedHandles(), (std::vector<int32_t>{handle}));
}

}  // namespace
}  // namespace qrv::test
