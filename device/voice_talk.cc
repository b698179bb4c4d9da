#include "device/voice_talk.h"

#include "device/device_table.h"
#include "device/library_origin.h"
#include "device/login_record.h"
#include "device/unsupported_operation.h"
#include "devicelib/tmcc_api.h"
#include "platform/foreign_call.h"

namespace qrv::device {

// Host thread; no lock (reads the login handle only).
int32_t SetDeviceMute(int32_t slot, int32_t mute) {
  if (!IsValidSlot(slot)) return kResultBadSlot;
  const int32_t loginHandle = Slot(slot).loginHandle.load();
  if (loginHandle == kNoHandle) return kResultOk;
  const int32_t result = platform::CallForeign(&TMCC_SetMute, loginHandle, mute);
  // Another library's answer here means nothing we know: the contract's 0.
  if (!DeviceLibraryIsOurs()) return kResultOk;
  NoteUnsupported(slot, result, "audio: the device does not offer this operation");
  return result == 0 ? kResultOk : kResultFailed;
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
  if (streamHandle != kNoHandle) platform::CallForeign(&TMCC_SetMute, streamHandle, 1);
  const int32_t result = platform::CallForeign(&TMCC_StartVoiceCom, loginHandle, &record);
  NoteUnsupported(slot, result, "voice talk: the device does not offer this operation");
  return result;
}

// Host thread; no lock. Other refusals still give 0 (there is nothing left to
// stop); a device without voice talk never had any, and says so.
int32_t StopVoiceTalk(int32_t slot) {
  if (!IsValidSlot(slot)) return kResultBadSlot;
  const int32_t loginHandle = Slot(slot).loginHandle.load();
  if (loginHandle == kNoHandle) return kResultOk;
  const int32_t result = platform::CallForeign(&TMCC_StopVoiceCom, loginHandle);
  if (!DeviceLibraryIsOurs()) return kResultOk;  // as for the mute
  if (NoteUnsupported(slot, result, "voice talk: the device does not offer this operation")) {
    return kResultFailed;
  }
  return kResultOk;
}

}  // namespace qrv::device
