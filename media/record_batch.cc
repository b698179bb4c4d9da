#include "media/record_batch.h"

#include <atomic>
#include <memory>
#include <new>

#include "device/device_table.h"
#include "device/packet_guard.h"
#include "device/recording_session.h"
#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "devicelib/tmcc_records.h"
#include "media/packet_kind.h"
#include "media/recording.h"
#include "platform/callconv.h"
#include "platform/library_symbol.h"
#include "platform/record_file.h"

namespace qrv::media {
namespace {

using device::DeviceSlot;
using platform::RecordFile;

// The frames of one slot's recording held on this thread. One socket read is
// one stream, so one group is the rule; a full group is written at once.
struct HeldWrites {
  DeviceSlot* slot = nullptr;
  int32_t index = -1;
  uint64_t sessionId = 0;
  int32_t handle = device::kNoHandle;
  size_t count = 0;
  RecordedFrame frames[RecordFile::kMaxPieces];
};
// Made on a thread's first held frame and kept for the thread's life: the
// plug-in's thread-locals live in the static TLS block, which has no room for
// the group itself.
thread_local HeldWrites* t_held = nullptr;

// Whether the library accepted the plug-in's batch end. Until it has, the
// batched flag means nothing: a library that knows no batches may leave any
// value in that byte, and a frame held for a batch end that never comes is
// lost.
std::atomic<bool> g_batchEndAccepted{false};

HeldWrites* Held() {
  if (t_held == nullptr) {
    thread_local std::unique_ptr<HeldWrites> owner(new (std::nothrow) HeldWrites);
    t_held = owner.get();
  }
  return t_held;
}

void QRV_CALLBACK OnBatchEnd(void*) {
  try {
    FlushRecordWrites();
  } catch (...) {
    // Nothing may escape into the library.
  }
}

// The held frames still belong in the file: the same recording runs, and no
// other client can be writing to it. That holds while their client is the
// slot's stream (or the one being connected without a stream), while it is
// released in a switch (the new client waits until its last writes are done),
// and once it was detached with no other client on the way.
bool StillRecorded(DeviceSlot& slot, uint64_t sessionId, int32_t handle,
                   device::RecordingSession*& session) {
  if (slot.recording.load(std::memory_order_seq_cst) == 0) return false;
  session = slot.recordFile.load(std::memory_order_seq_cst);
  if (session == nullptr || session->id != sessionId) return false;
  if (slot.recordHold.load(std::memory_order_seq_cst) != 0) return true;
  const int32_t current = slot.streamHandle.load(std::memory_order_seq_cst);
  if (current == handle) return true;
  if (current != device::kNoHandle) return false;
  const int32_t pending = slot.pendingStreamHandle.load(std::memory_order_seq_cst);
  return pending == handle || pending == device::kNoHandle;
}

devicelib::SetStreamBatchEndCallbackFunction SetBatchEnd() {
  // Any required function locates the device library the plug-in is bound to.
  const void* anchor = reinterpret_cast<const void*>(&TMCC_Init);
  return reinterpret_cast<devicelib::SetStreamBatchEndCallbackFunction>(
      platform::FindFunctionBeside(anchor, devicelib::kSetStreamBatchEndCallbackName));
}

}  // namespace

void EnableBatchedRecording() {
  const auto set = SetBatchEnd();
  const bool accepted = set != nullptr && set(&OnBatchEnd, nullptr) == 0;
  g_batchEndAccepted.store(accepted, std::memory_order_release);
}

void DisableBatchedRecording() {
  // Distrusted first: a frame marked from now on is written at once, and
  // frames already held still go out at their batch end or before the next
  // frame of their thread.
  g_batchEndAccepted.store(false, std::memory_order_release);
  if (const auto set = SetBatchEnd()) set(nullptr, nullptr);
}

bool IsBatchedPacket(uint8_t flags) {
  return (flags & devicelib::kPacketBatched) != 0 &&
         g_batchEndAccepted.load(std::memory_order_acquire);
}

void PrepareRecordWrite(const DeviceSlot& slot, const device::RecordingSession& session,
                        int32_t handle, bool batched) {
  if (t_held == nullptr || t_held->count == 0) return;
  const HeldWrites& held = *t_held;
  if (batched && held.slot == &slot && held.sessionId == session.id && held.handle == handle)
    return;
  FlushRecordWrites();
}

bool HoldRecordWrite(DeviceSlot& slot, int32_t index, const device::RecordingSession& session,
                     int32_t handle, const RecordedFrame& frame, bool batched) {
  if (!batched) return false;
  HeldWrites* group = Held();
  if (group == nullptr) return false;  // no memory for it: written one by one
  HeldWrites& held = *group;
  if (held.count == 0) {
    held.slot = &slot;
    held.index = index;
    held.sessionId = session.id;
    held.handle = handle;
  }
  held.frames[held.count++] = frame;
  if (held.count == RecordFile::kMaxPieces) FlushRecordWrites();
  return true;
}

void FlushRecordWrites() {
  if (t_held == nullptr || t_held->count == 0) return;
  HeldWrites& held = *t_held;
  const size_t count = held.count;
  held.count = 0;  // the per-frame path below must not find them again
  DeviceSlot& slot = *held.slot;
  device::RecordWriteInFlight writing(slot);
  device::RecordingSession* session = nullptr;
  if (!StillRecorded(slot, held.sessionId, held.handle, session)) return;

  RecordFile::Piece pieces[RecordFile::kMaxPieces];
  uint64_t total = 0;
  uint64_t videoFrames = 0;
  uint64_t keyFrames = 0;
  for (size_t i = 0; i < count; ++i) {
    const RecordedFrame& frame = held.frames[i];
    pieces[i] = {frame.data, frame.length};
    total += frame.length;
    if (frame.frameType == devicelib::kFrameVideo) ++videoFrames;
    if (IsKeyFrame(frame.frameType, frame.keyFlag)) ++keyFrames;
  }
  RecordFile& file = *session->file;
  if (file.AppendGather(pieces, count) == nullptr) {
    file.Commit();
    CountRecorded(slot, total, videoFrames, keyFrames);
    return;
  }
  // Which frame failed decides what is lost and where writing resumes: the
  // frames go through the per-frame path, which says so exactly.
  file.CutBack();
  for (size_t i = 0; i < count; ++i) RecordFrame(slot, held.index, *session, held.frames[i], {});
}

}  // namespace qrv::media
