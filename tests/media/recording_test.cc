// Recording files made from scripted packet sequences, byte for byte.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <limits>
#include <thread>

#include "media_test_support.h"
#include "support/debug_capture.h"
#include "support/wait.h"

namespace qrv::test {
namespace {

using devicelib::kFrameAuxData;
using devicelib::kFrameHeader;
using devicelib::kFrameVideo;

class RecordingTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    handle_ = OpenStream(kSlot);
    file_ = dir_.File("cam1.264");
  }

  static constexpr int32_t kSlot = 11;
  int32_t handle_ = -1;
  std::string file_;
};

TEST_F(RecordingTest, FileHoldsFirstHeaderThenEveryFrameFromTheFirstKeyFrame) {
  const Bytes h1 = Pattern(0x10, 37), early = Pattern(0x20, 50), key1 = Pattern(0x30, 400),
              p1 = Pattern(0x40, 120), a1 = Pattern(0x50, 33), other = Pattern(0x60, 17),
              p2 = Pattern(0x70, 90), key2 = Pattern(0x80, 300);
  Fire(handle_, kFrameVideo, early, 1);  // before any header and any recording
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  ASSERT_EQ(device::Slot(kSlot).recording.load(), 1);
  Fire(handle_, kFrameVideo, early, 0);  // waiting: no key frame yet
  Fire(handle_, kFrameAuxData, early);   // waiting: never opens a file
  Fire(handle_, kFrameVideo, key1, 1);   // opens: header, then the key frame
  Fire(handle_, kFrameVideo, p1, 0);
  Fire(handle_, kFrameAuxData, a1);
  Fire(handle_, 7, other);          // other types are never written
  Fire(handle_, kFrameHeader, h1);  // a repeat of the same header changes nothing
  Fire(handle_, kFrameVideo, p2, 0);
  Fire(handle_, kFrameVideo, key2, 1);

  Bytes want = h1;
  for (const Bytes* part : {&key1, &p1, &a1, &p2, &key2}) Append(want, *part);
  EXPECT_EQ(device::Slot(kSlot).recordedBytes.load(), static_cast<int32_t>(want.size()));
  EXPECT_EQ(media::StopRecording(kSlot), 0);
  EXPECT_EQ(ReadFile(file_), want);
  // The video frames in the file, auxiliary data not among them; kept after the stop.
  EXPECT_EQ(device::Slot(kSlot).stats.recordedFrames.load(), 4u);
  EXPECT_EQ(device::Slot(kSlot).stats.recordedKeyFrames.load(), 2u);
  EXPECT_EQ(device::Slot(kSlot).recording.load(), 0);
  EXPECT_EQ(device::Slot(kSlot).recordFile.load(), nullptr);
}

// A host callback that holds the first video frame until released.
std::atomic<bool> gHolding{false};
std::atomic<bool> gRelease{false};
int32_t QRV_CALLBACK HoldFirstFrame(int32_t dataType, const uint8_t*, uint32_t, StreamFrameInfo,
                                    uintptr_t) {
  if (dataType == kStreamDataVideo && !gHolding.exchange(true)) {
    WaitUntil([] { return gRelease.load(); }, std::chrono::seconds(10));
  }
  return 0;
}

TEST_F(RecordingTest, FrameDeliveredWhileAnotherThreadClosesIsStillRecorded) {
  const Bytes h1 = Pattern(0x10, 20), key1 = Pattern(0x30, 64);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  ASSERT_EQ(media::RegisterStreamDataCallback(kSlot, &HoldFirstFrame, 0), 0);
  gHolding = false;
  gRelease = false;
  std::thread packet([&] { Fire(handle_, kFrameVideo, key1, 1); });
  ASSERT_TRUE(WaitUntil([] { return gHolding.load(); }, std::chrono::seconds(10)));
  std::thread closer([] { media::CloseLiveStream(kSlot); });
  ASSERT_TRUE(WaitUntil([&] { return device::Slot(kSlot).streamHandle.load() == -1; },
                        std::chrono::seconds(10)));
  gRelease = true;
  packet.join();
  closer.join();

  // The host received the key frame, so the file holds it too.
  EXPECT_EQ(media::StopRecording(kSlot), 0);
  Bytes want = h1;
  Append(want, key1);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, NothingIsWrittenUntilAHeaderIsCached) {
  media::StartRecording(file_, kSlot);
  const Bytes key1 = Pattern(1, 64), h1 = Pattern(2, 20), key2 = Pattern(3, 64);
  Fire(handle_, kFrameVideo, key1, 1);
  Fire(handle_, kFrameAuxData, key1);
  EXPECT_EQ(device::Slot(kSlot).recordedBytes.load(), 0);
  Fire(handle_, kFrameHeader, h1);
  Fire(handle_, kFrameVideo, key2, 1);
  media::StopRecording(kSlot);
  Bytes want = h1;
  Append(want, key2);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, ChangedHeaderIsWrittenBeforeTheNextKeyFrame) {
  const Bytes h1 = Pattern(0x10, 24), h2 = Pattern(0x90, 31), h3 = Pattern(0xA0, 28);
  const Bytes k1 = Pattern(1, 200), p1 = Pattern(2, 80), lost1 = Pattern(3, 70),
              a1 = Pattern(4, 10), k2 = Pattern(5, 210), p2 = Pattern(6, 60);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, k1, 1);
  Fire(handle_, kFrameVideo, p1, 0);
  Fire(handle_, kFrameHeader, h2);       // the encoder restarted with new settings
  Fire(handle_, kFrameVideo, lost1, 0);  // undecodable with either header: skipped
  Fire(handle_, kFrameAuxData, a1);      // auxiliary data needs no header: kept
  Fire(handle_, kFrameHeader, h3);       // the latest header is the one that counts
  Fire(handle_, kFrameVideo, k2, 1);
  Fire(handle_, kFrameHeader, h3);  // unchanged from what the file holds now
  Fire(handle_, kFrameVideo, p2, 0);
  media::StopRecording(kSlot);

  Bytes want = h1;
  for (const Bytes* part : {&k1, &p1, &a1, &h3, &k2, &p2}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, NewRecordingOpensWithTheLatestHeader) {
  const Bytes h1 = Pattern(0x10, 24), h2 = Pattern(0x90, 31), k = Pattern(1, 50),
              p = Pattern(2, 40);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, k, 1);
  Fire(handle_, kFrameHeader, h2);
  media::StopRecording(kSlot);

  const std::string second = dir_.File("second.264");
  media::StartRecording(second, kSlot);
  Fire(handle_, kFrameVideo, k, 1);
  Fire(handle_, kFrameVideo, p, 0);
  media::StopRecording(kSlot);
  // The frames after the change need the new header, not the first one.
  Bytes want = h2;
  Append(want, k);
  Append(want, p);
  EXPECT_EQ(ReadFile(second), want);
}

TEST_F(RecordingTest, OversizeHeaderOpensTheRecordingWhole) {
  const Bytes big = Pattern(9, 9000), key = Pattern(1, 4096);
  Fire(handle_, kFrameHeader, big);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, key, 1);
  media::StopRecording(kSlot);
  Bytes want = big;
  Append(want, key);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, BadPacketsAreNeverWritten) {
  const Bytes h1 = Pattern(1, 16), key = Pattern(2, 32);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, key, 1);
  Bytes junk = Pattern(3, 32);
  auto negative = MakePacket(kFrameVideo, junk, 1);
  negative.length = -5;
  EXPECT_EQ(fake_tmcc::FireStreamPacket(handle_, &negative), 0);
  auto noData = MakePacket(kFrameVideo, junk, 0);
  noData.data = nullptr;
  EXPECT_EQ(fake_tmcc::FireStreamPacket(handle_, &noData), 0);
  media::StopRecording(kSlot);
  Bytes want = h1;
  Append(want, key);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, StartWhileRecordingKeepsTheRunningFile) {
  const Bytes h1 = Pattern(1, 16), key = Pattern(2, 32);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, key, 1);
  const std::string other = dir_.File("other.264");
  media::StartRecording(other, kSlot);
  Fire(handle_, kFrameVideo, key, 0);
  media::StopRecording(kSlot);
  EXPECT_EQ(ReadFile(file_).size(), h1.size() + 2 * key.size());
  EXPECT_FALSE(std::filesystem::exists(other));
  EXPECT_EQ(media::StopRecording(kSlot), 0) << "stopping an idle slot";
}

TEST_F(RecordingTest, UnopenableFileSendsTheDebugMessageAndStaysIdle) {
  DebugCapture capture;
  media::StartRecording(dir_.File("missing/dir/x.264"), kSlot);
  // "file open error" in GBK.
  EXPECT_EQ(capture.Text(), "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3");
  EXPECT_EQ(device::Slot(kSlot).recording.load(), 0);
  EXPECT_EQ(device::Slot(kSlot).recordFile.load(), nullptr);
}

TEST_F(RecordingTest, RecordingOutlivesItsStreamAndContinuesWithTheNext) {
  const Bytes h1 = Pattern(1, 16), k1 = Pattern(2, 32), h2 = Pattern(3, 16), k2 = Pattern(4, 32);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, k1, 1);
  media::CloseLiveStream(kSlot);
  EXPECT_EQ(device::Slot(kSlot).recording.load(), 1);
  const int32_t next = OpenStream(kSlot);
  Fire(next, kFrameHeader, h2);
  Fire(next, kFrameVideo, k2, 1);
  media::StopRecording(kSlot);
  Bytes want = h1;
  for (const Bytes* part : {&k1, &h2, &k2}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, ByteCountStopsAtItsMaximumAndFramesKeepComing) {
  const Bytes h1 = Pattern(1, 16), k1 = Pattern(2, 32), p1 = Pattern(3, 48);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, k1, 1);
  // As if more than 2 GiB had been recorded already.
  device::Slot(kSlot).recordedBytes.store(std::numeric_limits<int32_t>::max() - 10);
  Fire(handle_, kFrameVideo, p1, 0);
  EXPECT_EQ(device::Slot(kSlot).recordedBytes.load(), std::numeric_limits<int32_t>::max());
  Fire(handle_, kFrameVideo, p1, 0);
  media::StopRecording(kSlot);
  Bytes want = h1;
  for (const Bytes* part : {&k1, &p1, &p1}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
}

#if !defined(_WIN32)
// A file-size limit is a POSIX facility; the Windows backend's failures are
// covered by the record file's own test (a full device under Wine).

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(RecordingTest, FailedWritesAreCutBackCountedAndResumeAtAKeyFrame) {
  const Bytes h1 = Pattern(0x10, 30), k1 = Pattern(0x20, 300), p1 = Pattern(0x30, 100),
              p2 = Pattern(0x40, 100), a1 = Pattern(0x50, 20), k2 = Pattern(0x60, 300),
              p3 = Pattern(0x70, 80), k3 = Pattern(0x80, 250), p4 = Pattern(0x90, 60);
  DebugCapture capture;
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  device::SlotStats& stats = device::Slot(kSlot).stats;
  {
    // Room for the header, k1, p1 and half of p2.
    FileSizeLimit limit(h1.size() + k1.size() + p1.size() + 50);
    Fire(handle_, kFrameVideo, k1, 1);
    Fire(handle_, kFrameVideo, p1, 0);
    EXPECT_EQ(stats.writeErrors.load(), 0u);
    Fire(handle_, kFrameVideo, p2, 0);  // short write: cut back, lost
    EXPECT_EQ(ReadFile(file_).size(), h1.size() + k1.size() + p1.size()) << "no partial frame";
    Fire(handle_, kFrameAuxData, a1);   // waits for a key frame: lost
    Fire(handle_, kFrameVideo, k2, 1);  // tried, fails again: lost
    EXPECT_EQ(stats.writeErrors.load(), 2u);
    EXPECT_STREQ(stats.lastError.load(), "recording: file size limit reached");
    limit.Lift();
    Fire(handle_, kFrameVideo, p3, 0);  // writable again, but no key frame yet: lost
    Fire(handle_, kFrameVideo, k3, 1);  // resumes, header first
    Fire(handle_, kFrameVideo, p4, 0);
  }
  EXPECT_EQ(media::StopRecording(kSlot), 0);

  Bytes want = h1;
  for (const Bytes* part : {&k1, &p1, &h1, &k3, &p4}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
  EXPECT_EQ(stats.bytesLost.load(), p2.size() + a1.size() + k2.size() + p3.size());
  EXPECT_EQ(stats.writeErrors.load(), 2u);
  EXPECT_EQ(stats.recordedBytes.load(), want.size());
  EXPECT_EQ(stats.recordedFrames.load(), 4u) << "k1, p1, k3, p4: never a frame cut back";
  EXPECT_EQ(stats.recordedKeyFrames.load(), 2u);
  EXPECT_EQ(Occurrences(capture.Text(), "file size limit reached"), 1u) << capture.Text();
}

// Frames the library keeps valid until its batch ends are written together at
// the batch end; a gathered write that fails ends exactly as the frames
// written one by one do (the test above), and frames held across a stop never
// reach the file, nor a recording started after it.
TEST_F(RecordingTest, BatchedFramesAreGatheredAndFailLikeSingleWrites) {
  const Bytes h1 = Pattern(0x10, 30), k1 = Pattern(0x20, 300), p1 = Pattern(0x30, 100),
              p2 = Pattern(0x40, 100), a1 = Pattern(0x50, 20), k2 = Pattern(0x60, 300),
              p3 = Pattern(0x70, 80), k3 = Pattern(0x80, 250), p4 = Pattern(0x90, 60),
              p5 = Pattern(0xA0, 70);
  // The library's side: data stays where it is until the batch end, which
  // runs on the thread that delivered the packets.
  auto fire = [&](uint8_t type, const Bytes& bytes, uint8_t key = 0) {
    auto packet = MakePacket(type, const_cast<Bytes&>(bytes), key);
    packet.flags = devicelib::kPacketBatched;
    fake_tmcc::FireStreamPacket(handle_, &packet);
  };
  media::EnableBatchedRecording();
  auto batchEnd = [] { ASSERT_TRUE(fake_tmcc::FireBatchEnd()); };
  DebugCapture capture;
  fire(kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  device::SlotStats& stats = device::Slot(kSlot).stats;
  {
    FileSizeLimit limit(h1.size() + k1.size() + p1.size() + 50);
    fire(kFrameVideo, k1, 1);
    fire(kFrameVideo, p1, 0);
    fire(kFrameVideo, p2, 0);
    fire(kFrameAuxData, a1);
    EXPECT_EQ(ReadFile(file_).size(), h1.size() + k1.size()) << "held until the batch ends";
    batchEnd();  // p2 does not fit: p1 stays, p2 and a1 are lost
    EXPECT_EQ(ReadFile(file_).size(), h1.size() + k1.size() + p1.size()) << "no partial frame";
    fire(kFrameVideo, k2, 1);
    batchEnd();
    EXPECT_EQ(stats.writeErrors.load(), 2u);
    limit.Lift();
    fire(kFrameVideo, p3, 0);
    fire(kFrameVideo, k3, 1);
    fire(kFrameVideo, p4, 0);
    batchEnd();
  }
  fire(kFrameVideo, p5, 0);
  EXPECT_EQ(media::StopRecording(kSlot), 0);  // p5 is still held: left out
  Bytes want = h1;
  for (const Bytes* part : {&k1, &p1, &h1, &k3, &p4}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
  EXPECT_EQ(stats.bytesLost.load(), p2.size() + a1.size() + k2.size() + p3.size());
  EXPECT_EQ(stats.writeErrors.load(), 2u);
  EXPECT_EQ(stats.recordedBytes.load(), want.size());
  EXPECT_EQ(stats.recordedFrames.load(), 4u) << "gathered writes count their frames too";
  EXPECT_EQ(stats.recordedKeyFrames.load(), 2u);
  EXPECT_EQ(Occurrences(capture.Text(), "file size limit reached"), 1u) << capture.Text();

  const std::string next = dir_.File("cam2.264");
  ASSERT_EQ(media::StartRecording(next, kSlot), 0);
  batchEnd();
  EXPECT_TRUE(ReadFile(next).empty()) << "a frame of the stopped recording went into the next";
  fire(kFrameVideo, k3, 1);
  fire(kFrameVideo, p4, 0);
  batchEnd();
  media::StopRecording(kSlot);
  Bytes second = h1;
  for (const Bytes* part : {&k3, &p4}) Append(second, *part);
  EXPECT_EQ(ReadFile(next), second);
  EXPECT_EQ(stats.recordedFrames.load(), 2u) << "the next recording counts from zero";
  EXPECT_EQ(stats.recordedKeyFrames.load(), 1u);
}

TEST_F(RecordingTest, FailureAtTheFirstKeyFrameLeavesAnEmptyFileThatFillsLater) {
  const Bytes h1 = Pattern(0x10, 30), k1 = Pattern(0x20, 300), k2 = Pattern(0x60, 200);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  {
    FileSizeLimit limit(h1.size() + 10);  // the header fits, its key frame does not
    Fire(handle_, kFrameVideo, k1, 1);
    EXPECT_TRUE(ReadFile(file_).empty()) << "a header without its key frame is cut back too";
  }
  Fire(handle_, kFrameVideo, k2, 1);
  media::StopRecording(kSlot);
  Bytes want = h1;
  Append(want, k2);
  EXPECT_EQ(ReadFile(file_), want);
  EXPECT_EQ(device::Slot(kSlot).stats.bytesLost.load(), k1.size());
}
#endif  // !_WIN32

// The batched flag is the library's answer to the plug-in's batch end: a
// library that never accepted one (it was not asked, refused, or was told to
// stop) may leave anything in that byte and never ends a batch, so every frame
// is written at once whatever the byte holds.
TEST_F(RecordingTest, BatchedFlagCountsOnlyOnceTheLibraryAcceptedTheBatchEnd) {
  const Bytes h1 = Pattern(0x10, 20), k1 = Pattern(0x20, 64), p1 = Pattern(0x30, 60),
              p2 = Pattern(0x40, 60);
  auto fire = [&](uint8_t type, const Bytes& bytes, uint8_t key = 0) {
    auto packet = MakePacket(type, const_cast<Bytes&>(bytes), key);
    packet.flags = devicelib::kPacketBatched;
    fake_tmcc::FireStreamPacket(handle_, &packet);
  };
  fire(kFrameHeader, h1);
  Bytes want = h1;
  for (const Bytes* part : {&k1, &p1, &p2}) Append(want, *part);

  enum class Library { kNeverAsked, kRefused, kWithdrawn };
  for (Library library : {Library::kNeverAsked, Library::kRefused, Library::kWithdrawn}) {
    if (library == Library::kRefused) {
      fake_tmcc::SetResult("TMCC_SetStreamBatchEndCallback", -1);
      media::EnableBatchedRecording();
    } else if (library == Library::kWithdrawn) {
      fake_tmcc::SetResult("TMCC_SetStreamBatchEndCallback", 0);
      media::EnableBatchedRecording();
      media::DisableBatchedRecording();
    }
    const std::string file = dir_.File("flag" + std::to_string(static_cast<int>(library)));
    ASSERT_EQ(media::StartRecording(file, kSlot), 0);
    fire(kFrameVideo, k1, 1);
    fire(kFrameVideo, p1, 0);
    fire(kFrameVideo, p2, 0);
    EXPECT_EQ(ReadFile(file).size(), want.size()) << "written as they came";
    EXPECT_EQ(media::StopRecording(kSlot), 0);
    EXPECT_EQ(ReadFile(file), want) << static_cast<int>(library);
  }
}

TEST_F(RecordingTest, RecordingStartsWithTheLatestHeaderAndSkipsAnEqualOne) {
  const Bytes h1 = Pattern(0x10, 24), h2 = Pattern(0x90, 31), k = Pattern(1, 50),
              p = Pattern(2, 40);
  Fire(handle_, kFrameHeader, h1);
  Fire(handle_, kFrameHeader, h2);  // the encoder's settings changed before recording
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, k, 1);
  Fire(handle_, kFrameHeader, h2);  // equal to the file's: not written again, frames go on
  Fire(handle_, kFrameVideo, p, 0);
  Fire(handle_, kFrameVideo, k, 1);
  media::StopRecording(kSlot);
  Bytes want = h2;
  for (const Bytes* part : {&k, &p, &k}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
}

TEST_F(RecordingTest, ReopenKeepsRecordingTheWorkingStreamUntilTheNewOneIsAttached) {
  const Bytes h1 = Pattern(0x10, 24), k1 = Pattern(1, 64), p1 = Pattern(2, 32),
              hNew = Pattern(0x90, 28), kHeld = Pattern(3, 64), pNew = Pattern(4, 32),
              kNew = Pattern(5, 64), pAfter = Pattern(6, 32);
  HostSink sink;
  sink.RegisterFor(kSlot);
  Fire(handle_, kFrameHeader, h1);
  media::StartRecording(file_, kSlot);
  Fire(handle_, kFrameVideo, k1, 1);

  // While the new client connects, it sends its header and a key frame, and
  // the working stream goes on.
  const int32_t first = handle_;
  fake_tmcc::SetAction("TMCC_ConnectStream", [&] {
    const int32_t connecting = device::Slot(kSlot).pendingStreamHandle.load();
    Fire(connecting, kFrameHeader, hNew);
    Fire(connecting, kFrameVideo, kHeld, 1);
    Fire(first, kFrameVideo, p1, 0);
  });
  const int32_t second = OpenStream(kSlot);
  fake_tmcc::SetAction("TMCC_ConnectStream", nullptr);
  EXPECT_EQ(Fire(first, kFrameVideo, p1, 0), INT32_MIN) << "the earlier client is released";
  Fire(second, kFrameVideo, pNew, 0);  // needs the new key frame: not recorded
  Fire(second, kFrameVideo, kNew, 1);
  Fire(second, kFrameVideo, pAfter, 0);
  media::StopRecording(kSlot);

  Bytes want = h1;
  for (const Bytes* part : {&k1, &p1, &hNew, &kNew, &pAfter}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
  // The host never saw the two clients mixed: the held key frame is not
  // delivered, the new header comes before the new client's first frame.
  std::vector<Bytes> seen;
  for (const auto& delivery : sink.Deliveries()) seen.push_back(delivery.data);
  const std::vector<Bytes> expected{h1, k1, p1, hNew, pNew, kNew, pAfter};
  EXPECT_EQ(seen, expected);
}

// The first stream of a slot may deliver before it is attached (its client
// connects while the recording waits): those packets are the stream itself,
// so attaching it must not send the recording back to wait for a key frame.
TEST_F(RecordingTest, FirstStreamIsRecordedWithoutAGapAndTheNextOneFromItsKeyFrame) {
  constexpr int32_t kFresh = 12;
  const Bytes h = Pattern(0x10, 24), k = Pattern(1, 64), p1 = Pattern(2, 32), p2 = Pattern(3, 32);
  const std::string file = dir_.File("cam2.264");
  ASSERT_EQ(media::StartRecording(file, kFresh), 0);
  fake_tmcc::SetAction("TMCC_ConnectStream", [&] {
    const int32_t connecting = device::Slot(kFresh).pendingStreamHandle.load();
    Fire(connecting, kFrameHeader, h);
    Fire(connecting, kFrameVideo, k, 1);
    Fire(connecting, kFrameVideo, p1, 0);
  });
  const int32_t handle = OpenStream(kFresh);
  fake_tmcc::SetAction("TMCC_ConnectStream", nullptr);
  Fire(handle, kFrameVideo, p2, 0);

  // After a close, the recording goes on with the next stream from its first
  // key frame: a frame before it would not decode after the earlier one.
  media::CloseLiveStream(kFresh);
  const Bytes pStray = Pattern(4, 32), kNext = Pattern(5, 64);
  const int32_t next = OpenStream(kFresh);
  Fire(next, kFrameHeader, h);
  Fire(next, kFrameVideo, pStray, 0);
  Fire(next, kFrameVideo, kNext, 1);
  media::StopRecording(kFresh);
  Bytes want = h;
  for (const Bytes* part : {&k, &p1, &p2, &kNext}) Append(want, *part);
  EXPECT_EQ(ReadFile(file), want);
}

// A host callback that holds one chosen packet until the test lets it go, as
// a host waiting for its own lock would.
class HoldingSink {
 public:
  explicit HoldingSink(Bytes holdOn) : holdOn_(std::move(holdOn)) {}
  static int32_t QRV_CALLBACK Callback(int32_t, const uint8_t* data, uint32_t length,
                                       StreamFrameInfo, uintptr_t user) {
    auto* sink = reinterpret_cast<HoldingSink*>(user);
    if (data != nullptr && Bytes(data, data + length) == sink->holdOn_) {
      sink->held_.store(true);
      WaitUntil([sink] { return sink->letGo_.load(); }, std::chrono::seconds(20));
    }
    return 0;
  }
  uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
  bool Held() const { return held_.load(); }
  void LetGo() { letGo_.store(true); }

 private:
  Bytes holdOn_;
  std::atomic<bool> held_{false};
  std::atomic<bool> letGo_{false};
};

// A stream re-opened while the earlier client is held inside the host's
// callback: the release waits for that callback, and meanwhile the new client
// already sends frames and a key frame. Nothing of either may be written
// while the release waits; afterwards the file goes on with the new header and
// the new stream's next key frame, and the held old frame never follows them.
TEST_F(RecordingTest, ReopenWhileTheEarlierClientIsHeldWritesNeitherUntilItIsReleased) {
  const Bytes h1 = Pattern(0x10, 24), k1 = Pattern(1, 64), p1 = Pattern(2, 32),
              pHeld = Pattern(3, 32), hNew = Pattern(0x90, 28), kEarly = Pattern(4, 64),
              pWhile = Pattern(5, 32), kWhile = Pattern(6, 64), pStray = Pattern(7, 32),
              kAfter = Pattern(8, 64), pAfter = Pattern(9, 32);
  HoldingSink sink(pHeld);
  ASSERT_EQ(media::RegisterStreamDataCallback(kSlot, &HoldingSink::Callback, sink.User()), 0);
  Fire(handle_, kFrameHeader, h1);
  ASSERT_EQ(media::StartRecording(file_, kSlot), 0);
  Fire(handle_, kFrameVideo, k1, 1);
  Fire(handle_, kFrameVideo, p1, 0);
  Bytes upToTheSwitch = h1;
  for (const Bytes* part : {&k1, &p1}) Append(upToTheSwitch, *part);

  // The earlier client's packet is held in the host's callback (on the
  // double's library thread). The new client delivers on a thread of its own,
  // as a library with a thread per stream does.
  const int32_t first = handle_;
  std::thread held([&] { Fire(first, kFrameVideo, pHeld, 0); });
  ASSERT_TRUE(WaitUntil([&] { return sink.Held(); }, std::chrono::seconds(10)));
  auto fromNewClient = [](int32_t handle, uint8_t type, Bytes bytes, uint8_t key) {
    auto packet = MakePacket(type, bytes, key);
    return media::StreamPacketCallback(handle, &packet, reinterpret_cast<void*>(intptr_t{kSlot}));
  };
  int32_t second = -1;
  fake_tmcc::SetAction("TMCC_ConnectStream", [&] {
    const int32_t connecting = device::Slot(kSlot).pendingStreamHandle.load();
    fromNewClient(connecting, kFrameHeader, hNew, 0);
    fromNewClient(connecting, kFrameVideo, kEarly, 1);
  });
  std::thread reopen([&] { second = OpenStream(kSlot); });
  const auto releasing = [&] {
    for (const auto& call : fake_tmcc::CallsNamed("TMCC_CloseStream")) {
      if (!call.args.empty() && call.args[0] == first) return true;
    }
    return false;
  };
  EXPECT_TRUE(WaitUntil(releasing, std::chrono::seconds(10)));
  const int32_t attached = device::Slot(kSlot).streamHandle.load();
  fromNewClient(attached, kFrameVideo, pWhile, 0);
  fromNewClient(attached, kFrameVideo, kWhile, 1);
  EXPECT_EQ(ReadFile(file_), upToTheSwitch) << "written while the release waits";

  sink.LetGo();
  held.join();
  reopen.join();
  fake_tmcc::SetAction("TMCC_ConnectStream", nullptr);
  EXPECT_EQ(second, attached);
  EXPECT_EQ(Fire(first, kFrameVideo, p1, 0), INT32_MIN) << "the earlier client is released";
  fromNewClient(second, kFrameVideo, pStray, 0);  // before the next key frame
  fromNewClient(second, kFrameVideo, kAfter, 1);
  fromNewClient(second, kFrameVideo, pAfter, 0);
  media::StopRecording(kSlot);

  Bytes want = upToTheSwitch;
  for (const Bytes* part : {&hNew, &kAfter, &pAfter}) Append(want, *part);
  EXPECT_EQ(ReadFile(file_), want);
}

}  // namespace
}  // namespace qrv::test
