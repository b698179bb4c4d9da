// Logged-in slots for the event tests, made the way the login operation
// leaves them, with a login client of the device-library test double.
#pragma once

#include <cstdint>
#include <string>

#include "device/device_table.h"
#include "device/login.h"
#include "devicelib/tmcc_api.h"
#include "tests/fake_tmcc/fake_tmcc.h"

namespace qrv::test {

// Returns the slot; its login handle is device::Slot(slot).loginHandle.
inline int32_t AddLogin(const std::string& deviceIp, int32_t port, bool connected) {
  const int32_t slot = device::AllocateSlot();
  const int32_t handle = TMCC_Init(devicelib::kClientLogin);
  device::StoreLogin(slot, handle, deviceIp, "admin", "secret", port);
  fake_tmcc::SetConnected(handle, connected);
  return slot;
}

}  // namespace qrv::test
