// Live stream connection (operations 3 and 4).
//
// Threads: host threads. The table lock is held only for the slot updates;
// every library call runs outside it.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::media {

inline constexpr int32_t kStreamPort = 6002;

// Stores the host's window value in the slot (under the table lock).
void StorePlayWindow(int32_t slot, uint32_t playWnd);

// Creates a stream client, registers StreamPacketCallback with the slot number as
// context and connects it with a 280-byte StreamConnectRecord; the slot
// accepts the new client's packets from before the connect call on. Returns 0
// and stores the handle through handleOut when TMCC_ConnectStream returned 0;
// otherwise -1, with the attempt's client released and the slot's working
// stream (handle, channel, stream type) kept. The new client's packets are
// held back (its header kept) while an earlier stream still works; it
// replaces that stream in StoreLiveStream. Texts of 32 bytes or more
// are refused with -1 before any library call.
int32_t OpenLiveStream(int32_t streamType, int32_t slot, int32_t* handleOut, std::string user,
                       std::string password, std::string deviceIp, uint32_t playWnd);

// Makes an opened stream the slot's stream; the earlier client, if any, is
// closed and released after the switch (device::AttachStream).
void StoreLiveStream(int32_t slot, int32_t streamHandle, int32_t channel, int32_t streamType);

// Closes and releases the slot's stream client, if any, and marks the slot as
// having none, so no handle is ever released twice. The recording, header
// cache and data callback stay as they are.
void CloseLiveStream(int32_t slot);

}  // namespace qrv::media
