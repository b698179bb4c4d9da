#include "media/recording.h"

#include <cstdio>
#include <limits>

#include "device/device_table.h"
#include "device/packet_guard.h"
#include "device/slot_owner.h"
#include "devicelib/tmcc_records.h"
#include "media/packet_kind.h"
#include "platform/debug_output.h"

namespace qrv::media {
namespace {

using device::DeviceSlot;
using device::HeaderBuffer;
using device::RecordingSession;

// "打开文件错误" (file open error) in the GBK code page.
constexpr char kFileOpenError[] = "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3";

// recordedBytes is a signed 32-bit count; it stops at its maximum instead of
// wrapping.
int32_t AddSaturated(int32_t total, uint64_t add) {
  const int64_t sum = static_cast<int64_t>(total) + static_cast<int64_t>(add);
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(sum > kMax ? kMax : sum);
}

const HeaderBuffer& LatestHeader(const DeviceSlot& slot) {
  return slot.header2.Length() > 0 ? slot.header2 : slot.header1;
}

// Counts a failed write, and says so once when writes start failing. The
// text is formatted on the stack: nothing is allocated here.
void NoteWriteFailure(DeviceSlot& slot, int32_t index, RecordingSession& session,
                      const char* reason) {
  slot.stats.writeErrors.fetch_add(1, std::memory_order_relaxed);
  slot.stats.lastError.store(reason, std::memory_order_relaxed);
  if (session.failing) return;
  session.failing = true;
  char text[160];
  std::snprintf(text, sizeof(text),
                "slot %d: %s; frames are dropped until the next key frame that can be written\n",
                static_cast<int>(index), reason);
  platform::OutputDebugText(text);
}

void CountLoss(DeviceSlot& slot, uint32_t length) {
  slot.stats.bytesLost.fetch_add(length, std::memory_order_relaxed);
}

// Writes one unit (an optional header, then a frame) whole or not at all.
// Returns true when it is in the file.
bool WriteUnit(DeviceSlot& slot, int32_t index, RecordingSession& session,
               const HeaderBuffer* header, const RecordedFrame& frame) {
  const uint8_t* data = frame.data;
  const uint32_t length = frame.length;
  platform::RecordFile& file = *session.file;
  const uint64_t before = file.Committed();
  const char* failure = nullptr;
  uint32_t headerLength = 0;
  if (header != nullptr) {
    headerLength = static_cast<uint32_t>(header->Length());
    failure = file.Append(header->WriterData(), headerLength);
  }
  if (failure == nullptr && length > 0) failure = file.Append(data, length);
  if (failure != nullptr) {
    file.CutBack();
    NoteWriteFailure(slot, index, session, failure);
    CountLoss(slot, length);
    session.waitingForKey = true;
    return false;
  }
  file.Commit();
  const bool video = frame.frameType == devicelib::kFrameVideo;
  CountRecorded(slot, file.Committed() - before, video ? 1 : 0,
                IsKeyFrame(frame.frameType, frame.keyFlag) ? 1 : 0);
  if (header != nullptr) slot.recordHeader.Store(header->WriterData(), headerLength);
  return true;
}

}  // namespace

void CountRecorded(DeviceSlot& slot, uint64_t bytes, uint64_t videoFrames, uint64_t keyFrames) {
  slot.stats.recordedBytes.fetch_add(bytes, std::memory_order_relaxed);
  if (videoFrames > 0) slot.stats.recordedFrames.fetch_add(videoFrames, std::memory_order_relaxed);
  if (keyFrames > 0) slot.stats.recordedKeyFrames.fetch_add(keyFrames, std::memory_order_relaxed);
  slot.recordedBytes.store(AddSaturated(slot.recordedBytes.load(std::memory_order_relaxed), bytes),
                           std::memory_order_relaxed);
}

// Threads: host threads; no lock.
int32_t StartRecording(const std::string& fileName, int32_t index) {
  if (!device::IsValidSlot(index)) return device::kResultBadSlot;
  if (device::BeginRecording(device::SlotIndex(index), fileName) ==
      device::RecordingStart::kCannotOpen) {
    platform::OutputDebugText(kFileOpenError);
    device::Slot(index).stats.lastError.store("recording file could not be opened",
                                              std::memory_order_relaxed);
    return device::kResultFailed;
  }
  return device::kResultOk;
}

// Threads: host threads, or a packet thread inside the host's data callback;
// no lock. Waits only for a write in progress.
int32_t StopRecording(int32_t index) {
  return device::EndRecording(device::SlotIndex(index));
}

void RecordPacket(DeviceSlot& slot, int32_t index, uint8_t frameType, uint8_t keyFlag,
                  const uint8_t* data, uint32_t length, RecordSource source) {
  device::RecordWriteInFlight writing(slot);
  if (slot.recording.load(std::memory_order_seq_cst) == 0) return;
  RecordingSession* session = slot.recordFile.load(std::memory_order_seq_cst);
  if (session == nullptr) return;
  // A stream switch in progress: the earlier client may still be writing.
  if (slot.recordHold.load(std::memory_order_seq_cst) != 0) return;
  if (slot.recordResync.exchange(0, std::memory_order_relaxed) != 0) session->waitingForKey = true;

  if (frameType == devicelib::kFrameHeader) {
    // Frames held before the header are decided; written now, a failure
    // among them is judged against the header state they came under.
    FlushRecordWrites();
    // Headers go into the file only ahead of a key frame; here we only note
    // that the encoder's settings changed under a running recording.
    if (session->started && !slot.recordHeader.Equals(data, length)) session->headerChanged = true;
    return;
  }
  RecordFrame(slot, index, *session, {frameType, keyFlag, data, length}, source);
}

void RecordFrame(DeviceSlot& slot, int32_t index, RecordingSession& session,
                 const RecordedFrame& frame, RecordSource source) {
  const uint8_t frameType = frame.frameType;
  const uint32_t length = frame.length;
  if (!IsRecordedFrame(frameType)) return;
  PrepareRecordWrite(slot, session, source.handle, source.batched);
  const bool key = IsKeyFrame(frameType, frame.keyFlag);

  if (key && (session.waitingForKey || session.headerChanged)) {
    const HeaderBuffer& latest = LatestHeader(slot);
    // Without a cached header nothing can be decoded: nothing is written.
    if (latest.Length() <= 0) return;
    FlushRecordWrites();  // what came before goes first, and decides `failing`
    const uint32_t headerLength = static_cast<uint32_t>(latest.Length());
    // A resumed or first recording repeats the header as a new file would; a
    // header equal to the one the file continues from is not written again.
    const bool withHeader = !session.started || session.failing ||
                            !slot.recordHeader.Equals(latest.WriterData(), headerLength);
    if (!WriteUnit(slot, index, session, withHeader ? &latest : nullptr, frame)) return;
    session.started = true;
    session.failing = false;
    session.waitingForKey = false;
    session.headerChanged = false;
    return;
  }
  if (session.waitingForKey) {
    // Before the first key frame nothing is lost; after a failed write every
    // skipped frame is.
    if (session.failing) CountLoss(slot, length);
    return;
  }
  // Video frames after a header change cannot be decoded with the header in
  // the file; auxiliary data can.
  if (session.headerChanged && frameType == devicelib::kFrameVideo) return;
  if (HoldRecordWrite(slot, index, session, source.handle, frame, source.batched)) return;
  WriteUnit(slot, index, session, nullptr, frame);
}

}  // namespace qrv::media
