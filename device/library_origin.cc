#include "device/library_origin.h"

#include <initializer_list>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "platform/library_symbol.h"

namespace qrv::device {

namespace {

// Any one of the extensions the plug-in uses is ours alone.
bool ExportsOurExtensions() {
  // Any required function locates the library the plug-in is bound to.
  const void* anchor = reinterpret_cast<const void*>(&TMCC_Init);
  for (const char* name :
       {devicelib::kGetConnectionStatsName, devicelib::kSetStreamBatchEndCallbackName,
        devicelib::kAlarmRecordLengthGivenName, devicelib::kAlarmRecordLoginGivenName}) {
    if (platform::FindFunctionBeside(anchor, name) != nullptr) return true;
  }
  return false;
}

}  // namespace

bool DeviceLibraryIsOurs() {
  static const bool ours = ExportsOurExtensions();
  return ours;
}

}  // namespace qrv::device
