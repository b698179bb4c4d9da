// Device login and logout (operations 1 and 2).
//
// Threads: host threads. No lock is held across a library call.
#pragma once

#include <cstdint>
#include <string>

// Logout and the release of a slot live with the slot's owner.
#include "device/slot_owner.h"

namespace qrv::device {

// Creates a login client, configures it (time-out 3000 ms, automatic
// reconnection) and connects it with a 236-byte LoginRecord. Returns 0 and
// stores the handle through handleOut on success; otherwise the library's
// non-zero result (or -1 for a text that does not fit its 32-byte field, or
// 0xC0000001 when no client could be made), with no client left behind.
// callbackContext is handed to the library with the connection callback.
int32_t LoginDevice(int32_t* handleOut, const std::string& deviceIp, const std::string& user,
                    const std::string& password, int32_t devicePort, void* callbackContext);

// Stores a successful login in its reserved slot (under the table lock).
void StoreLogin(int32_t slot, int32_t loginHandle, const std::string& deviceIp,
                const std::string& user, const std::string& password, int32_t devicePort);

}  // namespace qrv::device
