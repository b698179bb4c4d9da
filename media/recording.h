// Recording a slot's live stream into a raw .264 file (operations 21, 22).
//
// Threads: host threads, without the table lock. The packet path writes the
// file; StopRecording closes it only after every packet callback using it has
// returned.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::device {
struct DeviceSlot;
}

namespace qrv::media {

// Opens fileName ("wb") for the slot unless a recording runs already (0). A
// file that cannot be opened sends the GBK debugger message for "file open
// error", leaves the slot idle and returns -1.
int32_t StartRecording(const std::string& fileName, int32_t slot);

// Stops the slot's recording: no packet is written after it starts, and the
// file is flushed and closed once no packet callback uses it. Returns 0.
int32_t StopRecording(int32_t slot);

// The recording step of the packet path for one accepted packet (frame type,
// key-frame flag, data as the library gave them). Threads: the stream's packet
// thread, inside StreamPacketCallback (which counts itself in packetsInFlight
// first); no lock, no allocation except when a recorded header outgrows its
// buffer. Writes the cached first header and then every video or auxiliary
// frame from the first key frame on; a header that differs from the one the
// file continues from is written before the next key frame, and the frames
// in between are skipped.
void RecordPacket(device::DeviceSlot& slot, uint8_t frameType, uint8_t keyFlag, const uint8_t* data,
                  uint32_t length);

}  // namespace qrv::media
