// The stream packet path: acceptance, data types, header cache, replay.
#include <gtest/gtest.h>

#include <stdexcept>

#include "media/packet_kind.h"
#include "media_test_support.h"

namespace qrv::test {
namespace {

using devicelib::kFrameAuxData;
using devicelib::kFrameHeader;
using devicelib::kFrameVideo;

class StreamDeliveryTest : public MediaTest {};

void* Context(intptr_t slot) {
  return reinterpret_cast<void*>(slot);
}

TEST(PacketKindTest, DataTypesAndKeyFrameField) {
  struct Case {
    uint8_t frameType, keyFlag;
    int32_t headerCount, dataType;
    uint32_t keyFrame;
  };
  const Case cases[] = {
      {0, 0, 0, kStreamDataVideo, 0},       {0, 1, 0, kStreamDataVideo, 1},
      {0, 0x80, 0, kStreamDataVideo, 1},    {1, 1, 0, kStreamDataAux, 0},
      {2, 1, 1, kStreamDataFirstHeader, 0}, {2, 0, 2, kStreamDataLaterHeader, 0},
      {2, 0, 9, kStreamDataLaterHeader, 0}, {7, 1, 0, kStreamDataOther, 0},
      {255, 0, 0, kStreamDataOther, 0},
  };
  for (const Case& c : cases) {
    const auto kind = media::ClassifyPacket(c.frameType, c.keyFlag, c.headerCount);
    EXPECT_EQ(kind.dataType, c.dataType) << int(c.frameType);
    EXPECT_EQ(kind.keyFrame, c.keyFrame) << int(c.frameType) << "/" << int(c.keyFlag);
  }
}

TEST_F(StreamDeliveryTest, RefusedPacketsTouchNothing) {
  const int32_t slot = 3;
  const int32_t handle = OpenStream(slot);
  HostSink sink;
  sink.RegisterFor(slot);
  Bytes header = Pattern(1, 16);
  auto packet = MakePacket(kFrameHeader, header);

  EXPECT_EQ(media::StreamPacketCallback(handle, nullptr, Context(slot)), -1);
  EXPECT_EQ(media::StreamPacketCallback(handle, &packet, Context(256)), 10);
  EXPECT_EQ(media::StreamPacketCallback(handle, &packet, Context(-1)), 10);
  // A foreign or stale handle.
  EXPECT_EQ(media::StreamPacketCallback(handle + 1, &packet, Context(slot)), 0);
  // Lengths that cannot describe the data.
  packet.length = -1;
  EXPECT_EQ(media::StreamPacketCallback(handle, &packet, Context(slot)), 0);
  packet.length = 16;
  packet.data = nullptr;
  EXPECT_EQ(media::StreamPacketCallback(handle, &packet, Context(slot)), 0);

  const auto& entry = device::Slot(slot);
  EXPECT_EQ(sink.Count(), 0u);
  EXPECT_EQ(entry.headerCount.load(), 0);
  EXPECT_EQ(entry.header1.Length(), 0);
  EXPECT_EQ(entry.packetsInFlight.load(), 0);

  // No data with length 0 is an empty packet, and is delivered.
  packet.length = 0;
  packet.frameType = kFrameVideo;
  EXPECT_EQ(media::StreamPacketCallback(handle, &packet, Context(slot)), 0);
  ASSERT_EQ(sink.Count(), 1u);
  EXPECT_TRUE(sink.Deliveries()[0].data.empty());
}

TEST_F(StreamDeliveryTest, DeliversEveryAcceptedPacketWithItsTypeAndCachesHeaders) {
  const int32_t slot = 5;
  const int32_t handle = OpenStream(slot);
  HostSink sink;
  sink.RegisterFor(slot);

  const Bytes h1 = Pattern(10, 40), h2 = Pattern(60, 30), h3 = Pattern(90, 50);
  const Bytes key = Pattern(1, 100), inter = Pattern(2, 70), aux = Pattern(3, 20),
              other = Pattern(4, 9);
  ASSERT_EQ(Fire(handle, kFrameHeader, h1), 0);
  ASSERT_EQ(Fire(handle, kFrameVideo, key, 1), 0);
  ASSERT_EQ(Fire(handle, kFrameVideo, inter, 0), 0);
  ASSERT_EQ(Fire(handle, kFrameAuxData, aux, 1), 0);
  ASSERT_EQ(Fire(handle, 7, other, 1), 0);
  ASSERT_EQ(Fire(handle, kFrameHeader, h2), 0);
  ASSERT_EQ(Fire(handle, kFrameHeader, h3), 0);

  const auto got = sink.Deliveries();
  ASSERT_EQ(got.size(), 7u);
  const struct {
    int32_t type;
    const Bytes* data;
    uint32_t key;
  } want[] = {{1, &h1, 0},    {2, &key, 1}, {2, &inter, 0}, {4, &aux, 0},
              {0, &other, 0}, {3, &h2, 0},  {3, &h3, 0}};
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].dataType, want[i].type) << i;
    EXPECT_EQ(got[i].data, *want[i].data) << i;
    EXPECT_EQ(got[i].info.keyFrame, want[i].key) << i;
    for (uint32_t field : got[i].info.reserved) EXPECT_EQ(field, 0u) << i;
    EXPECT_EQ(got[i].user, sink.User());
  }

  const auto& entry = device::Slot(slot);
  EXPECT_EQ(entry.headerCount.load(), 3);
  Bytes copy;
  entry.header1.Snapshot(copy);
  EXPECT_EQ(copy, h1);
  entry.header2.Snapshot(copy);
  EXPECT_EQ(copy, h3);
}

TEST_F(StreamDeliveryTest, HeaderSentDuringTheConnectIsKeptAndStrangersAreIgnored) {
  const int32_t slot = 2;
  HostSink sink;
  sink.RegisterFor(slot);
  // The device sends its header before the connect call returns, as a real
  // device does the moment it accepts the stream.
  fake_tmcc::SetAction("TMCC_ConnectStream", [] {
    const int32_t connecting = static_cast<int32_t>(
        fake_tmcc::CallsNamed("TMCC_RegisterStreamCallBack").back().args.at(0));
    EXPECT_EQ(fake_tmcc::FireStreamPacket(connecting, nullptr), -1);
    devicelib::StreamPacket header{};
    Bytes bytes = Pattern(1, 8);
    header.frameType = kFrameHeader;
    header.data = bytes.data();
    header.length = static_cast<int32_t>(bytes.size());
    EXPECT_EQ(fake_tmcc::FireStreamPacket(connecting, &header), 0);
  });
  int32_t handle = -1;
  ASSERT_EQ(media::OpenLiveStream(0, slot, &handle, "u", "p", "127.0.0.1", 0), 0);
  fake_tmcc::SetAction("TMCC_ConnectStream", nullptr);
  ASSERT_EQ(sink.Count(), 1u);
  EXPECT_EQ(sink.Deliveries()[0].dataType, kStreamDataFirstHeader);
  EXPECT_EQ(device::Slot(slot).headerCount.load(), 1);

  // A client the slot never opened is not its stream.
  const int32_t stranger = TMCC_Init(devicelib::kClientStream);
  TMCC_RegisterStreamCallBack(stranger, media::StreamPacketCallback,
                              reinterpret_cast<void*>(static_cast<intptr_t>(slot)));
  EXPECT_EQ(Fire(stranger, kFrameHeader, Pattern(9, 8)), 0);
  EXPECT_EQ(sink.Count(), 1u);

  media::StoreLiveStream(slot, handle, 0, 0);
  EXPECT_EQ(device::Slot(slot).pendingStreamHandle.load(), device::kNoHandle);
  EXPECT_EQ(Fire(handle, kFrameHeader, Pattern(1, 8)), 0);
  ASSERT_EQ(sink.Count(), 2u);
  EXPECT_EQ(sink.Deliveries()[1].dataType, kStreamDataLaterHeader);
}

TEST_F(StreamDeliveryTest, HeaderCacheOutlivesTheStreamAndNullCallbackStopsDelivery) {
  const int32_t slot = 8;
  HostSink sink;
  sink.RegisterFor(slot);
  const Bytes first = Pattern(1, 12), second = Pattern(50, 12);
  Fire(OpenStream(slot), kFrameHeader, first);
  media::CloseLiveStream(slot);
  // A new stream on the same slot: its header is a later one.
  Fire(OpenStream(slot), kFrameHeader, second);
  auto got = sink.Deliveries();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].dataType, kStreamDataLaterHeader);
  Bytes copy;
  device::Slot(slot).header1.Snapshot(copy);
  EXPECT_EQ(copy, first);

  ASSERT_EQ(media::RegisterStreamDataCallback(slot, nullptr, 0), 0);
  Fire(device::Slot(slot).streamHandle.load(), kFrameVideo, Pattern(1, 4), 1);
  EXPECT_EQ(sink.Count(), 2u);
}

TEST_F(StreamDeliveryTest, RegistrationReplaysCachedHeadersInOrder) {
  EXPECT_EQ(media::RegisterStreamDataCallback(256, &HostSink::Callback, 0), 10);

  const int32_t slot = 4;
  HostSink early;
  media::ReplayCachedHeaders(slot, &HostSink::Callback, early.User());
  EXPECT_EQ(early.Count(), 0u) << "nothing cached, nothing replayed";

  const int32_t handle = OpenStream(slot);
  const Bytes h1 = Pattern(7, 33);
  Fire(handle, kFrameHeader, h1);
  HostSink onlyFirst;
  media::ReplayCachedHeaders(slot, &HostSink::Callback, onlyFirst.User());
  ASSERT_EQ(onlyFirst.Count(), 1u);
  EXPECT_EQ(onlyFirst.Deliveries()[0].dataType, kStreamDataFirstHeader);

  const Bytes h2 = Pattern(9, 21);
  Fire(handle, kFrameHeader, Pattern(3, 5));
  Fire(handle, kFrameHeader, h2);
  HostSink both;
  media::ReplayCachedHeaders(slot, &HostSink::Callback, both.User());
  const auto got = both.Deliveries();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].dataType, kStreamDataFirstHeader);
  EXPECT_EQ(got[0].data, h1);
  EXPECT_EQ(got[1].dataType, kStreamDataLaterHeader);
  EXPECT_EQ(got[1].data, h2);
  for (const auto& d : got) {
    EXPECT_EQ(d.user, both.User());
    for (uint32_t field : d.info.reserved) EXPECT_EQ(field, 0u);
    EXPECT_EQ(d.info.keyFrame, 0u);
  }
}

TEST_F(StreamDeliveryTest, OversizeHeaderIsDeliveredCachedAndReplayedWhole) {
  const int32_t slot = 6;
  const int32_t handle = OpenStream(slot);
  HostSink sink;
  sink.RegisterFor(slot);
  const Bytes big = Pattern(5, 10000), bigger = Pattern(6, 70001), small = Pattern(7, 100);
  Fire(handle, kFrameHeader, big);
  Fire(handle, kFrameHeader, bigger);
  Fire(handle, kFrameHeader, small);  // shrinks again within the grown storage

  const auto got = sink.Deliveries();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].data, big);
  EXPECT_EQ(got[1].data, bigger);
  HostSink replay;
  media::ReplayCachedHeaders(slot, &HostSink::Callback, replay.User());
  ASSERT_EQ(replay.Count(), 2u);
  EXPECT_EQ(replay.Deliveries()[0].data, big);
  EXPECT_EQ(replay.Deliveries()[1].data, small);
}

int32_t QRV_CALLBACK ThrowingCallback(int32_t, const uint8_t*, uint32_t, StreamFrameInfo,
                                      uintptr_t) {
  throw std::runtime_error("host failure");
}

TEST_F(StreamDeliveryTest, ThrowingHostCallbackNeitherEscapesNorCostsTheRecording) {
  const int32_t slot = 9;
  const int32_t handle = OpenStream(slot);
  ASSERT_EQ(media::RegisterStreamDataCallback(slot, &ThrowingCallback, 0), 0);
  const std::string file = dir_.File("throw.264");
  media::StartRecording(file, slot);
  const Bytes header = Pattern(1, 10), key = Pattern(100, 30);
  EXPECT_EQ(Fire(handle, kFrameHeader, header), 0);
  EXPECT_EQ(Fire(handle, kFrameVideo, key, 1), 0);
  EXPECT_EQ(device::Slot(slot).packetsInFlight.load(), 0);
  media::StopRecording(slot);
  Bytes want = header;
  Append(want, key);
  EXPECT_EQ(ReadFile(file), want);
}


TEST_F(StreamDeliveryTest, CountersCoverEveryAcceptedPacketAndNothingElse) {
  const int32_t slot = 40;
  const int32_t handle = OpenStream(slot);
  const Bytes header = Pattern(1, 20), key = Pattern(2, 300), inter = Pattern(3, 70),
              aux = Pattern(4, 9);
  Fire(handle, kFrameHeader, header);
  Fire(handle, kFrameVideo, key, 1);
  Fire(handle, kFrameVideo, inter, 0);
  Fire(handle, kFrameAuxData, aux);
  Fire(handle + 100, kFrameVideo, key, 1);  // a stranger's packet
  Bytes junk = Pattern(5, 8);
  auto negative = MakePacket(kFrameVideo, junk, 1);
  negative.length = -1;
  fake_tmcc::FireStreamPacket(handle, &negative);
  const device::SlotStats& stats = device::Slot(slot).stats;
  EXPECT_EQ(stats.packetsReceived.load(), 4u);
  EXPECT_EQ(stats.bytesReceived.load(), header.size() + key.size() + inter.size() + aux.size());
  EXPECT_EQ(stats.keyFrames.load(), 1u);
  EXPECT_EQ(stats.recordedBytes.load(), 0u) << "nothing recorded";
  EXPECT_EQ(stats.writeErrors.load(), 0u);
  EXPECT_EQ(stats.lastError.load(), nullptr);
}

}  // namespace
}  // namespace qrv::test
