// Optional functions a device library may offer beyond the TMCC_* set the
// plug-in requires. The plug-in never links against them: it looks each one
// up at run time and does without it when the library lacks it.
#pragma once

#include <cstdint>

#include "devicelib/tmcc_api.h"

namespace qrv::devicelib {

// The environment variable that allows Basic authentication (the password
// readable to anyone on the path) for the devices it names: entries
// separated by commas or spaces, each an address or URL as the host gives it
// (any port), "address:port", or "*" for every device. A host sets it before
// loading the library; the library reads it at each connect.
inline constexpr char kAllowBasicVariable[] = "TMCC_ALLOW_BASIC";

// Connection history of a login or stream client since TMCC_Init,
// little-endian. The caller sets size; the library fills at most that many
// bytes and never writes past them, so either side may be built against a
// shorter record.
struct ConnectionStats {
  uint32_t size = sizeof(ConnectionStats);
  uint32_t connected = 0;     // 1 while the session is up
  uint32_t disconnects = 0;   // established sessions lost (not on request)
  uint32_t reconnects = 0;    // sessions restored after such a loss
  uint32_t lastOutageMs = 0;  // length of the last restored outage
  // Stream clients of standard cameras: pictures dropped (broken by loss, too
  // large, or waiting for a key frame after a loss) and RTP packets missing.
  uint32_t picturesDropped = 0;
  uint32_t packetsLost = 0;
  uint32_t reserved = 0;
};
static_assert(sizeof(ConnectionStats) == 32);

inline constexpr char kGetConnectionStatsName[] = "TMCC_GetConnectionStats";

// TMCC_GetConnectionStats(login or stream handle, record): 0 and the record
// filled, or an error result (unknown handle, another client kind, size too
// small).
using GetConnectionStatsFunction = int32_t (*)(int32_t handle, ConnectionStats* stats);

// The library's network threads, process-wide, since it loaded. Host
// callbacks run on them; while one is held by a callback that does not
// return, another is added, so that freeThreads are always there for the
// other clients. Sized like ConnectionStats.
struct NetworkPoolStats {
  uint32_t size = sizeof(NetworkPoolStats);
  uint32_t threads = 0;      // network threads now, free and held
  uint32_t freeThreads = 0;  // kept free of host callbacks, at least
  uint32_t reserved = 0;
  uint64_t added = 0;    // threads added while others were held by host callbacks
  uint64_t retired = 0;  // threads that left after their callback returned
};
static_assert(sizeof(NetworkPoolStats) == 32);

inline constexpr char kGetNetworkPoolStatsName[] = "TMCC_GetNetworkPoolStats";

// TMCC_GetNetworkPoolStats(record): 0 and the record filled (at most size bytes).
using GetNetworkPoolStatsFunction = int32_t (*)(NetworkPoolStats* stats);

// Batched stream delivery. With a batch-end callback set, the library hands
// the stream packets of each socket read to the stream callbacks one by one
// as before, but marks them kPacketBatched and keeps their data unchanged
// until it has called batch-end (context) on the same thread, after the last
// packet of that read and before the buffer is used again. A host can then
// write the packets out together (one gathered write instead of one per
// packet). The batch belongs to the stream's callback run: TMCC_CloseStream
// returns only after the batch end of packets already handed on, and no
// packet is handed on after the stream was closed, though the batch end
// still comes. batch-end runs on a network thread, under no library lock;
// it may write files but must not wait for other streams. Set it before
// opening streams; a null callback turns batching off for later batches.
typedef void(QRV_CALLBACK* StreamBatchEndCallback)(void* context);

inline constexpr char kSetStreamBatchEndCallbackName[] = "TMCC_SetStreamBatchEndCallback";

// TMCC_SetStreamBatchEndCallback(callback, context): 0.
using SetStreamBatchEndCallbackFunction = int32_t (*)(StreamBatchEndCallback callback,
                                                      void* context);

// Alarm messages that say how long their record is. A library that exports
// this puts into AlarmMessage::recordLength the number of bytes readable
// behind AlarmMessage::record, in every message; to any other library those
// bytes are its own and may hold anything, so they are no length.
inline constexpr char kAlarmRecordLengthGivenName[] = "TMCC_AlarmRecordLengthGiven";

// TMCC_AlarmRecordLengthGiven(): 1.
using AlarmRecordLengthGivenFunction = int32_t (*)();

// Why a login client's last request or login failed, or a stream client's
// stream open (or its last reconnection), in a few English words ("snapshot:
// the answer is not a JPEG", "DESCRIBE: RTSP 404 Not Found"), as far as the
// library can tell more than the result code; empty after a success or when
// it cannot.
inline constexpr char kGetLastErrorTextName[] = "TMCC_GetLastErrorText";

// TMCC_GetLastErrorText(login handle, text, size): 0 and text filled with at
// most size - 1 bytes and a NUL (cut where it does not fit), or an error
// result (unknown handle, another client kind, no room).
using GetLastErrorTextFunction = int32_t (*)(int32_t handle, char* text, uint32_t size);

// Alarms tied to the login that heard them. A library that exports this
// fills AlarmRecord::loginHandle in every alarm record: the login client
// whose event watcher pulled the alarm from a standard camera, or 0 for an
// alarm a device pushed to the listener (that one is attributed by the
// connection's peer address, as before). To any other library those bytes
// are reserved and may hold anything.
inline constexpr char kAlarmRecordLoginGivenName[] = "TMCC_AlarmRecordLoginGiven";

// TMCC_AlarmRecordLoginGiven(): 1.
using AlarmRecordLoginGivenFunction = int32_t (*)();

// Addresses longer than LoginRecord::deviceIp holds: an rtsp:// or http://
// URL of at most kMaxRegisteredAddress bytes is registered once and the
// library gives back a token of at most 8 bytes ("@1", "@2", ...) that the
// host then writes wherever a record wants this device's address (the login
// and stream records); the library reads the URL behind it. Registering the
// same URL again gives the same token; a token keeps its URL until the
// library unloads. At most kMaxRegisteredAddresses URLs.
inline constexpr char kRegisterAddressName[] = "TMCC_RegisterAddress";
inline constexpr uint32_t kMaxRegisteredAddress = 1024;
inline constexpr uint32_t kMaxRegisteredAddresses = 256;

// TMCC_RegisterAddress(address, token, size): 0 and token filled with the
// token and a NUL; kErrInvalidArgument when address is null, longer than
// kMaxRegisteredAddress bytes, or no URL the library can reach (a host name,
// a space, a malformed port), or token's size has no room; kErrBusy when
// kMaxRegisteredAddresses other URLs are held. Any thread.
using RegisterAddressFunction = int32_t (*)(const char* address, char* token, uint32_t size);

}  // namespace qrv::devicelib

#if defined(TMCC_BUILDING_LIBRARY)
extern "C" TMCC_API int32_t TMCC_AlarmRecordLengthGiven();
extern "C" TMCC_API int32_t TMCC_AlarmRecordLoginGiven();
extern "C" TMCC_API int32_t TMCC_GetNetworkPoolStats(qrv::devicelib::NetworkPoolStats* stats);
extern "C" TMCC_API int32_t
TMCC_SetStreamBatchEndCallback(qrv::devicelib::StreamBatchEndCallback callback, void* context);
extern "C" TMCC_API int32_t TMCC_GetConnectionStats(TmccHandle handle,
                                                    qrv::devicelib::ConnectionStats* stats);
extern "C" TMCC_API int32_t TMCC_GetLastErrorText(TmccHandle handle, char* text, uint32_t size);
extern "C" TMCC_API int32_t TMCC_RegisterAddress(const char* address, char* token, uint32_t size);
#endif
