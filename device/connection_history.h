// A login client's connection history, when the device library can tell it
// (an optional function looked up at run time; a library offering only the
// required TMCC_* set gives none).
#pragma once

#include <cstdint>

#include "devicelib/tmcc_extensions.h"

namespace qrv::device {

struct DeviceSlot;

// True when the loaded device library offers the history. Looked up on the
// first call; any thread.
bool ConnectionHistoryAvailable();

// The history of the slot's login client. False when the library lacks it,
// the slot holds no login, or the library refused. Any thread; no lock. Counts
// itself in the slot's loginUsers, so a logout waits for it before it
// releases the client.
bool ReadConnectionHistory(DeviceSlot& slot, devicelib::ConnectionStats* history);

}  // namespace qrv::device
