#include "device/connection_history.h"

#include "device/device_table.h"
#include "platform/library_symbol.h"

namespace qrv::device {

namespace {

devicelib::GetConnectionStatsFunction LookUp() {
  // Any required function locates the device library the plug-in is bound to.
  const void* anchor = reinterpret_cast<const void*>(&TMCC_Init);
  return reinterpret_cast<devicelib::GetConnectionStatsFunction>(
      platform::FindFunctionBeside(anchor, devicelib::kGetConnectionStatsName));
}

devicelib::GetConnectionStatsFunction Function() {
  static const devicelib::GetConnectionStatsFunction function = LookUp();
  return function;
}

}  // namespace

bool ConnectionHistoryAvailable() {
  return Function() != nullptr;
}

bool ReadConnectionHistory(DeviceSlot& slot, devicelib::ConnectionStats* history) {
  const auto function = Function();
  if (function == nullptr) return false;
  // The handle is read after announcing the use: a logout that has taken it
  // waits for this use, or this use sees -1 and asks nothing.
  slot.loginUsers.fetch_add(1);
  bool read = false;
  try {
    const int32_t handle = slot.loginHandle.load();
    if (handle != kNoHandle) {
      *history = devicelib::ConnectionStats{};
      read = function(handle, history) == 0;
    }
  } catch (...) {
    slot.loginUsers.fetch_sub(1);
    throw;
  }
  slot.loginUsers.fetch_sub(1);
  return read;
}

}  // namespace qrv::device
