// Pan-tilt-zoom translation (operation 29): host command numbers 1..25 to the
// library's PTZ codes. Threads: host threads; no lock, no state.
#pragma once

#include <cstdint>

namespace qrv::media {

// One TMCC_PtzControl call at most; returns its result, 0 for command 19 and
// -1 for the commands without a call and for every command outside 1..25.
int32_t SendPtzCommand(int32_t loginHandle, int32_t ptzCommand, int32_t inValue, int32_t speed);

// True when the command's library call carries the speed (so an unreadable
// speed must refuse it); false for the commands that ignore it.
bool PtzCommandUsesSpeed(int32_t ptzCommand);

// The same for the value: true when the call carries it or a flag made from
// it (every command that makes a call); false for the commands without one.
bool PtzCommandUsesValue(int32_t ptzCommand);

}  // namespace qrv::media
