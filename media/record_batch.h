// Recording writes held back until the device library's batch ends, so the
// frames of one socket read go into the file in one gathered write instead of
// one write each.
//
// The library marks a packet batched when it keeps the packet's data valid
// until it calls the batch end on the same thread; only such frames are held,
// and only once the library has accepted the batch end.
// Everything here is the calling thread's own (thread-local): no lock, no
// allocation.
//
// Threads: HoldRecordWrite and FlushRecordWrites on the packet thread that
// received the frames; FlushRecordWrites also at the start of every host
// operation (a host calling from inside its data callback finds the frames it
// has seen in the file, as it would without batching).
#pragma once

#include <cstdint>

namespace qrv::device {
struct DeviceSlot;
struct RecordingSession;
}  // namespace qrv::device

namespace qrv::media {

// A frame for the recording, as the packet path received it.
struct RecordedFrame {
  uint8_t frameType;
  uint8_t keyFlag;
  const uint8_t* data;
  uint32_t length;
};

// Asks the device library for batched delivery when it offers it (Init), and
// withdraws the plug-in's batch end once its streams are closed (Uninit), so
// the library never calls into a plug-in that was unloaded. Host threads.
void EnableBatchedRecording();
void DisableBatchedRecording();

// True when a packet with these StreamPacket flags keeps its data until the
// batch end: it is marked so and the library accepted the plug-in's batch
// end. Any thread; no lock.
bool IsBatchedPacket(uint8_t flags);

// Before a frame's recording state is judged: writes the frames held on this
// thread unless this frame joins them (batched, same slot, recording and
// stream client), so the state the frame is judged by includes their outcome.
void PrepareRecordWrite(const device::DeviceSlot& slot, const device::RecordingSession& session,
                        int32_t handle, bool batched);

// Holds a frame that the recording state has accepted as a plain write (no
// header) for the end of the batch, after PrepareRecordWrite. False when it is
// not batched and must be written now. A full group is written at once.
bool HoldRecordWrite(device::DeviceSlot& slot, int32_t index,
                     const device::RecordingSession& session, int32_t handle,
                     const RecordedFrame& frame, bool batched);

// Writes the frames held on this thread, in one gathered write, if their
// recording still runs and their stream is still the slot's (or its switch is
// in progress); otherwise they are left out, as frames arriving after a stop.
// A gathered write that fails is cut back and the frames go through the
// per-frame path again, so a failure costs exactly what it costs unbatched.
void FlushRecordWrites();

}  // namespace qrv::media
