// The status operations: one slot's health (operation 100) and the event
// service's (operation 101), for hosts that want to see what failed.
//
// Threads: any host thread, inside Execute. Reads atomics without a lock; takes
// the table lock only to copy the slot's address text; the device library is
// asked (outside any lock) only for the login client's connection history.
#pragma once

#include <cstdint>

#include "qrvaccess/qrv_access.h"

namespace qrv::plugin {

// Writes the kQrvKeyStatus... keys of a valid slot number. Returns 0.
int32_t WriteDeviceStatus(int32_t slot, ParameterMap& out);

// Writes the kQrvKeyService... keys. Returns 0.
int32_t WriteServiceStatus(ParameterMap& out);

}  // namespace qrv::plugin
