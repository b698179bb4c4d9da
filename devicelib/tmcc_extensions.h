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

}  // namespace qrv::devicelib

#if defined(TMCC_BUILDING_LIBRARY)
extern "C" TMCC_API int32_t TMCC_GetConnectionStats(TmccHandle handle,
                                                    qrv::devicelib::ConnectionStats* stats);
#endif
