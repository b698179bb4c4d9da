// Device login and logout (operations 1 and 2).
//
// Threads: host threads. No lock is held across a library call.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::device {

// Creates a login client, configures it (time-out 3000 ms, automatic
// reconnection) and connects it with a 236-byte LoginRecord. Returns 0 and
// stores the handle through handleOut on success; otherwise the library's
// non-zero result (or -1 for a text that does not fit its 32-byte field, or
// 0xC0000001 when no client could be made), with no client left behind.
int32_t LoginDevice(int32_t* handleOut, const std::string& deviceIp, const std::string& user,
                    const std::string& password, int32_t devicePort);

// Stores a successful login in its reserved slot (under the table lock).
void StoreLogin(int32_t slot, int32_t loginHandle, const std::string& deviceIp,
                const std::string& user, const std::string& password, int32_t devicePort);

// Releases everything the slot holds, in this order: voice talk, live stream
// (closed and released), recording (flushed and closed), login client
// (disconnected when connected, then released). Leaves the slot in use;
// callers free or reset it afterwards. No stream callback touches the slot's
// buffers or file once this returns.
void ReleaseSlotResources(int32_t slot);

// Operation 2's device work for a valid slot number: ReleaseSlotResources,
// then FreeSlot. Returns 0.
int32_t LogoutDevice(int32_t slot);

}  // namespace qrv::device
