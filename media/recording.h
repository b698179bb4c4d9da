// Recording a slot's live stream into a raw .264 file (operations 21, 22).
//
// Threads: host threads, without the table lock. The packet path writes the
// file; StopRecording closes it only after every packet callback using it has
// returned.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::media {

// Opens fileName ("wb") for the slot unless a recording runs already. A file
// that cannot be opened sends the GBK debugger message for "file open error"
// and leaves the slot idle.
void StartRecording(const std::string& fileName, int32_t slot);

// Stops the slot's recording: no packet is written after it starts, and the
// file is flushed and closed once no packet callback uses it. Returns 0.
int32_t StopRecording(int32_t slot);

}  // namespace qrv::media
