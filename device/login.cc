#include "device/login.h"

#include "device/device_table.h"
#include "device/library_reason.h"
#include "device/login_record.h"
#include "devicelib/tmcc_api.h"
#include "platform/foreign_call.h"

namespace qrv::device {

namespace {

// Raised inside LoginDevice when the library made no client.
constexpr int32_t kNoClientResult = static_cast<int32_t>(0xC0000001u);
constexpr int32_t kLoginTimeoutMs = 3000;

// The login client's connection-change callback. Runs on a library thread;
// the library reconnects by itself, so there is nothing to do.
int32_t QRV_CALLBACK ConnectCallback(int32_t, int32_t, int32_t, void*) {
  return 1;
}

}  // namespace

// Host thread inside Execute's fault barrier; no lock. A fault (or any other
// error) inside ends the login with a failure result and no further library
// call.
int32_t LoginDevice(int32_t* handleOut, const std::string& deviceIp, const std::string& user,
                    const std::string& password, int32_t devicePort, void* callbackContext) {
  // A text that does not fit its 32-byte field is refused before the library
  // sees anything, so no client is made for it.
  if (!FitsRecordText(deviceIp) || !FitsRecordText(user) || !FitsRecordText(password)) {
    return kResultFailed;
  }
  try {
    const int32_t handle = platform::CallForeign(&TMCC_Init, devicelib::kClientLogin);
    if (handle == 0) return kNoClientResult;
    platform::CallForeign(&TMCC_RegisterConnectCallBack, handle, ConnectCallback, callbackContext);

    devicelib::LoginRecord record =
        BuildLoginRecord(deviceIp, devicePort, user, password, kLoginUserLevel);

    if (platform::CallForeign(&TMCC_IsConnect, handle) != 0)
      platform::CallForeign(&TMCC_DisConnect, handle);
    platform::CallForeign(&TMCC_SetTimeOut, handle, kLoginTimeoutMs);
    platform::CallForeign(&TMCC_SetAutoReConnect, handle, 1);
    const int32_t result = platform::CallForeign(&TMCC_Connect, handle, &record, 0);
    if (result == 0) {
      *handleOut = handle;
    } else {
      ReportClientReason(handle, "login", result);
      // The refused client is of no further use; keep no library object alive.
      platform::CallForeign(&TMCC_Done, handle);
    }
    return result;
  } catch (...) {
    return kResultFailed;
  }
}

// Host thread. Takes the table lock for the stores; the alarm thread and voice
// talk read the texts under it. The handle is published last, so a reader that
// sees it also sees the address and port.
void StoreLogin(int32_t slot, int32_t loginHandle, const std::string& deviceIp,
                const std::string& user, const std::string& password, int32_t devicePort) {
  DeviceSlot& entry = Slot(slot);
  platform::ScopedLock lock(&TableLock());
  entry.deviceIp = deviceIp;
  entry.user = user;
  entry.password = password;
  entry.devicePort.store(devicePort);
  entry.loginHandle.store(loginHandle);
}

}  // namespace qrv::device
