// Optional functions a device library may offer beyond the TMCC_* set the
// plug-in requires. The plug-in never links against them: it looks each one
// up at run time and does without it when the library lacks it.
#pragma once

#include <cstdint>

#include "devicelib/tmcc_api.h"

namespace qrv::devicelib {

// Connection history of a login client since TMCC_Init, little-endian.
// The caller sets size; the library fills at most that many bytes and never
// writes past them, so either side may be built against a shorter record.
struct ConnectionStats {
  uint32_t size = sizeof(ConnectionStats);
  uint32_t connected = 0;     // 1 while the session is up
  uint32_t disconnects = 0;   // established sessions lost (not on request)
  uint32_t reconnects = 0;    // sessions restored after such a loss
  uint32_t lastOutageMs = 0;  // length of the last restored outage
  uint32_t reserved[3] = {};
};
static_assert(sizeof(ConnectionStats) == 32);

inline constexpr char kGetConnectionStatsName[] = "TMCC_GetConnectionStats";

// TMCC_GetConnectionStats(login handle, record): 0 and the record filled, or
// an error result (unknown handle, not a login client, size too small).
using GetConnectionStatsFunction = int32_t (*)(int32_t handle, ConnectionStats* stats);

// How the library's stream delivery fares, process-wide, since it loaded.
// Each stream's packets wait for the host in a reader of its own; while that
// reader is full the library stops reading the stream's connection, and the
// device is held back by TCP. Sized like ConnectionStats.
struct DeliveryStats {
  uint32_t size = sizeof(DeliveryStats);
  uint32_t openStreams = 0;      // streams with a delivery thread now
  uint32_t readerBytes = 0;      // what one stream may hold before it is held back
  uint32_t peakHeldBytes = 0;    // most bytes one stream ever held for its host
  uint64_t holdBacks = 0;        // times a stream's reading stopped for room
  uint64_t packetsDelivered = 0;
};
static_assert(sizeof(DeliveryStats) == 32);

inline constexpr char kGetDeliveryStatsName[] = "TMCC_GetDeliveryStats";

// TMCC_GetDeliveryStats(record): 0 and the record filled (at most size bytes).
using GetDeliveryStatsFunction = int32_t (*)(DeliveryStats* stats);

}  // namespace qrv::devicelib

#if defined(TMCC_BUILDING_LIBRARY)
extern "C" TMCC_API int32_t TMCC_GetDeliveryStats(qrv::devicelib::DeliveryStats* stats);
extern "C" TMCC_API int32_t TMCC_GetConnectionStats(TmccHandle handle,
                                                    qrv::devicelib::ConnectionStats* stats);
#endif
