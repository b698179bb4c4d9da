#include "device/voice_talk.h"

#include "device/device_table.h"
#include "device/login_record.h"
#include "devicelib/tmcc_api.h"

namespace qrv::device {

// Host thread; no lock (reads the login handle only).
int32_t SetDeviceMute(int32_t slot, int32_t mute) {
  if (!IsValidSlot(slot)) return kResultBadSlot;
  const int32_t loginHandle = Slot(slot).loginHandle.load();
  if (loginHandle == kNoHandle) return kResultOk;
  return TMCC_SetMute(loginHandle, mute) == 0 ? kResultOk : kResultFailed;
}

// Host thread. Copies the slot's login texts under the table lock (the login
// stores them under it); the library calls are made after it is left.
int32_t StartVoiceTalk(int32_t slot) {
  if (!IsValidSlot(slot)) return kResultBadSlot;
  DeviceSlot& entry = Slot(slot);
  devicelib::LoginRecord record;
  {
    platform::ScopedLock lock(&TableLock());
    if (!FitsRecordText(entry.deviceIp) || !FitsRecordText(entry.user) ||
        !FitsRecordText(entry.password)) {
      return kResultFailed;
    }
    record = BuildLoginRecord(entry.deviceIp, entry.devicePort.load(), entry.user, entry.password,
                              std::string());
  }
  const int32_t loginHandle = entry.loginHandle.load();
  if (loginHandle == kNoHandle) return kResultOk;
  // The live picture's sound is muted for the conversation; a slot without a
  // live stream has nothing to mute.
  const int32_t streamHandle = entry.streamHandle.load();
  if (streamHandle != kNoHandle) TMCC_SetMute(streamHandle, 1);
  return TMCC_StartVoiceCom(loginHandle, &record);
}

// Host thread; no lock.
int32_t StopVoiceTalk(int32_t slot) {
  if (!IsValidSlot(slot)) return kResultBadSlot;
  const int32_t loginHandle = Slot(slot).loginHandle.load();
  if (loginHandle != kNoHandle) TMCC_StopVoiceCom(loginHandle);
  return kResultOk;
}

}  // namespace qrv::device
