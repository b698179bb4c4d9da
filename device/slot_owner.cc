#include "device/slot_owner.h"

#include <atomic>
#include <memory>
#include <thread>

#include "device/device_table.h"
#include "device/packet_guard.h"
#include "device/voice_talk.h"
#include "devicelib/tmcc_api.h"
#include "platform/foreign_call.h"
#include "platform/record_file.h"
#include "platform/thread.h"

namespace qrv::device {

namespace {

// Closes and releases a stream client. The library returns from each call
// only after the client's running callbacks have returned.
void ReleaseStreamClient(int32_t handle) {
  platform::CallForeign(&TMCC_CloseStream, handle);
  platform::CallForeign(&TMCC_Done, handle);
}

// Waits until no other thread is inside a library call on the slot's login
// client (the monitor's connection query). The monitor re-reads the handle
// after announcing itself, so once the handle is -1 no new user can pick up
// the old value.
void WaitForLoginUsers(DeviceSlot& slot) {
  while (slot.loginUsers.load() != 0) std::this_thread::yield();
}

}  // namespace

void AttachStream(SlotIndex slot, StreamHandle stream, int32_t channel, int32_t streamType) {
  if (!IsValidSlot(slot.value())) return;
  DeviceSlot& entry = Slot(slot.value());
  int32_t earlier = kNoHandle;
  {
    // Claimed under the lock, so two attaches on one slot never release the
    // same earlier client twice. From the switch on, the earlier client's
    // packets are refused.
    platform::ScopedLock lock(&TableLock());
    earlier = entry.streamHandle.exchange(stream.value());
    int32_t pending = stream.value();
    entry.pendingStreamHandle.compare_exchange_strong(pending, kNoHandle);
    entry.channel.store(channel);
    entry.streamType.store(streamType);
    if (entry.pendingHeader.Length() > 0) entry.adoptPendingHeader.store(1);
    // A switch from an earlier client restarts the recording at a key frame
    // (as DetachStream does); a first client's packets before this point were
    // the stream itself, and the recording has them in order.
    if (earlier != kNoHandle && earlier != stream.value()) {
      entry.recordResync.store(1);
      entry.recordHold.store(1);
    }
  }
  if (earlier != kNoHandle && earlier != stream.value()) {
    ReleaseStreamClient(earlier);  // returns once its running callbacks have
    entry.recordHold.store(0);
  }
}

void DetachStream(SlotIndex slot) {
  if (!IsValidSlot(slot.value())) return;
  DeviceSlot& entry = Slot(slot.value());
  const int32_t handle = entry.streamHandle.exchange(kNoHandle);
  if (handle == kNoHandle) return;
  ReleaseStreamClient(handle);
  // A running recording continues with whichever stream comes next, from its
  // first key frame.
  entry.recordResync.store(1);
}

RecordingStart BeginRecording(SlotIndex slot, const std::string& path) {
  DeviceSlot& entry = Slot(slot.value());
  // A running recording continues (or one still being closed by a stop).
  if (entry.recording.load() != 0 || entry.recordFile.load() != nullptr) {
    return RecordingStart::kAlreadyRunning;
  }
  static std::atomic<uint64_t> sessions{0};
  auto session = std::make_unique<RecordingSession>();
  session->id = sessions.fetch_add(1, std::memory_order_relaxed) + 1;
  session->file = platform::RecordFile::Open(path);
  if (!session->file) return RecordingStart::kCannotOpen;
  RecordingSession* none = nullptr;
  if (!entry.recordFile.compare_exchange_strong(none, session.get())) {
    return RecordingStart::kAlreadyRunning;  // another host thread started one meanwhile
  }
  session.release();  // owned through recordFile now
  // Nothing is written before recording is 1.
  entry.stats.recordedBytes.store(0, std::memory_order_relaxed);
  entry.stats.recordedFrames.store(0, std::memory_order_relaxed);
  entry.stats.recordedKeyFrames.store(0, std::memory_order_relaxed);
  entry.recordedBytes.store(0);
  entry.recording.store(1);
  return RecordingStart::kStarted;
}

int32_t EndRecording(SlotIndex slot) {
  if (!IsValidSlot(slot.value())) return 0;
  DeviceSlot& entry = Slot(slot.value());
  // Taking the session is the ownership: a racing stop or logout that finds
  // null has nothing left to close.
  std::unique_ptr<RecordingSession> session(entry.recordFile.exchange(nullptr));
  entry.recording.store(0);
  if (!session) return 0;
  // A writer counts itself before it reads the session, so once the count
  // drains no write can still use this file.
  WaitForRecordWrites(slot.value());
  entry.recordedBytes.store(0);
  session.reset();  // cuts back a partial tail and closes
  return 0;
}

void ReleaseSlotResources(int32_t index) {
  if (!IsValidSlot(index)) return;
  const SlotIndex slot(index);
  DeviceSlot& entry = Slot(index);
  StopVoiceTalk(index);
  DetachStream(slot);
  EndRecording(slot);

  const int32_t handle = entry.loginHandle.exchange(kNoHandle);
  WaitForLoginUsers(entry);
  if (handle != kNoHandle) {
    if (platform::CallForeign(&TMCC_IsConnect, handle) != 0)
      platform::CallForeign(&TMCC_DisConnect, handle);
    platform::CallForeign(&TMCC_Done, handle);
  }
  // The one wait: the packet callbacks still running for the slot, the host's
  // data callback included.
  WaitForPacketCallbacks(index);
}

int32_t LogoutDevice(int32_t slot) {
  ReleaseSlotResources(slot);
  FreeSlot(slot);
  return kResultOk;
}

// Host thread of Uninit; must not overlap any other plug-in call.
void ReleaseClientsOfSlotsInUse() {
  for (int32_t i = 0; i < kSlotCount; ++i) {
    DeviceSlot& slot = Slot(i);
    if (slot.inUse.load() != 1) continue;
    // Each handle is taken with an exchange, so whoever takes it (this,
    // logout, or the stream close) is the only one to release it.
    const int32_t login = slot.loginHandle.exchange(kNoHandle);
    if (login != kNoHandle) {
      while (slot.loginUsers.load() != 0) platform::SleepMs(1);
      platform::CallForeign(&TMCC_Done, login);
    }
    const int32_t stream = slot.streamHandle.exchange(kNoHandle);
    if (stream != kNoHandle) platform::CallForeign(&TMCC_Done, stream);
    EndRecording(SlotIndex(i));
  }
}

// Host thread of Init; must not overlap any other plug-in call. A slot never
// reset holds nothing.
void ReleaseEarlierSlots() {
  for (int32_t i = 0; i < kSlotCount; ++i) {
    if (Slot(i).header1.HasStorage()) ReleaseSlotResources(i);
  }
}

}  // namespace qrv::device
