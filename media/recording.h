// Recording a slot's live stream into a raw .264 file (operations 21, 22).
//
// Threads: StartRecording and StopRecording on host threads, without the table
// lock; the slot's owner (device/slot_owner.h) opens and closes the file.
// RecordPacket on the stream's packet thread.
#pragma once

#include <cstdint>
#include <string>

#include "media/record_batch.h"

namespace qrv::device {
struct DeviceSlot;
struct RecordingSession;
}  // namespace qrv::device

namespace qrv::media {

// Opens fileName ("wb") for the slot unless a recording runs already (0). A
// file that cannot be opened sends the GBK debugger message for "file open
// error", leaves the slot idle and returns -1.
int32_t StartRecording(const std::string& fileName, int32_t slot);

// Stops the slot's recording: no packet is written after it starts, and the
// file is closed once no write uses it; never waits for a host callback.
// Returns 0.
int32_t StopRecording(int32_t slot);

// Where a packet came from: its stream client, and whether the library keeps
// its data valid until the batch ends (then a plain write is held back and
// gathered with the rest of the batch, see record_batch.h).
struct RecordSource {
  int32_t handle = -1;
  bool batched = false;
};

// The recording step of the packet path for one accepted packet (frame type,
// key-frame flag, data as the library gave them). Threads: the stream's packet
// thread, outside the host's data callback; lock-free, and allocation-free
// unless a recorded header outgrows its buffer.
//
// The file opens with the latest cached header and the first key frame, then
// takes every video and auxiliary frame. A header that differs from the one
// the file continues from goes in just before the next key frame; video
// frames in between are skipped (they need the new header's key frame),
// auxiliary data goes on. A write that fails or is short is cut back, so the
// file holds whole frames only; the loss is counted in the slot's stats, one
// debugger message tells of it, and writing resumes at the next key frame,
// header first, once the file takes data again.
void RecordPacket(device::DeviceSlot& slot, int32_t index, uint8_t frameType, uint8_t keyFlag,
                  const uint8_t* data, uint32_t length, RecordSource source = {});

// The step above for a frame (not a header) of a recording the caller has
// checked and counts itself a writer of.
void RecordFrame(device::DeviceSlot& slot, int32_t index, device::RecordingSession& session,
                 const RecordedFrame& frame, RecordSource source);

// Adds what went into the slot's recording to its counts: bytes (headers
// included), and the video frames and key frames among the frames.
void CountRecorded(device::DeviceSlot& slot, uint64_t bytes, uint64_t videoFrames,
                   uint64_t keyFrames);

}  // namespace qrv::media
