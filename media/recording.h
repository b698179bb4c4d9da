// Recording a slot's live stream into a raw .264 file (operations 21, 22).
//
// Threads: StartRecording and StopRecording on host threads, without the table
// lock; the slot's owner (device/slot_owner.h) opens and closes the file.
// RecordPacket on the stream's packet thread.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::device {
struct DeviceSlot;
}

namespace qrv::media {

// Opens fileName ("wb") for the slot unless a recording runs already. A file
// that cannot be opened sends the GBK debugger message for "file open error"
// and leaves the slot idle.
void StartRecording(const std::string& fileName, int32_t slot);

// Stops the slot's recording: no packet is written after it starts, and the
// file is closed once no write uses it; never waits for a host callback.
// Returns 0.
int32_t StopRecording(int32_t slot);

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
                  const uint8_t* data, uint32_t length);

}  // namespace qrv::media
