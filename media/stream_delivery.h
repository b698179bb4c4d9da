// Stream packet delivery: header caching, hand-off to the host's
// StreamDataCallback and recording, per packet; and the header replay at
// registration.
#pragma once

#include <cstdint>

#include "devicelib/tmcc_records.h"
#include "platform/callconv.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::media {

// The library's stream callback. Runs on a library thread; takes no lock,
// makes no allocation, copies data only for header packets, and lets no
// exception escape. context is the slot number. Returns -1 for a null packet,
// 10 for a context outside 0..255, otherwise 0.
int32_t QRV_CALLBACK StreamPacketCallback(int32_t handle, devicelib::StreamPacket* packet,
                                          void* context);

// Stores the callback and user value of a slot under the table lock. Returns
// 10 for a slot number above 255, else 0.
int32_t RegisterStreamDataCallback(uint32_t slot, StreamDataCallback callback, uintptr_t user);

// Calls callback on this thread with complete copies of the slot's cached
// headers: header1 with data type 1, then header2 with data type 3, each only
// when present. No lock is held during the calls.
void ReplayCachedHeaders(uint32_t slot, StreamDataCallback callback, uintptr_t user);

// Waits until no packet callback runs for the slot, except one running on the
// calling thread (a host that stops from inside its own data callback).
void WaitForPacketCallbacks(int32_t slot);

}  // namespace qrv::media
