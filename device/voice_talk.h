// Device audio (operations 23 and 24) and two-way voice talk (35 and 36).
//
// Threads: host threads; no lock is taken. Slot numbers out of 0..255 give 10.
#pragma once

#include <cstdint>

namespace qrv::device {

// TMCC_SetMute(loginHandle, mute) when the slot holds a login. 0 when the
// library accepted (or the slot holds no login), -1 when it refused.
// A library result "unsupported" also becomes the slot's last error, naming
// the operation, in every call here.
int32_t SetDeviceMute(int32_t slot, int32_t mute);

// Mutes the slot's live stream (only when it has one), then starts voice talk
// on the login client with a voice record filled from the slot. Returns the
// library's result, 0 when the slot holds no login, -1 when a slot text does
// not fit its 32-byte record field.
int32_t StartVoiceTalk(int32_t slot);

// TMCC_StopVoiceCom(loginHandle) when the slot holds a login; returns 0, or
// -1 when the device has no voice talk.
int32_t StopVoiceTalk(int32_t slot);

}  // namespace qrv::device
