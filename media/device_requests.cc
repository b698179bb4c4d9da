#include "media/device_requests.h"

#include "device/device_table.h"
#include "device/library_origin.h"
#include "device/library_reason.h"
#include "device/unsupported_operation.h"
#include "devicelib/tmcc_api.h"
#include "platform/file_stamp.h"
#include "platform/foreign_call.h"

namespace qrv::media {

namespace {

constexpr char kSnapshotFormat[] = "JPEG";

}  // namespace

// Host thread; no lock. A device without the operation also names it as the
// slot's last error. The request goes to the login client whatever it
// holds (-1 for a slot without a login): the library answers for it.
int32_t RequestKeyFrame(int32_t slot) {
  if (!device::IsValidSlot(slot)) return device::kResultBadSlot;
  const int32_t loginHandle = device::Slot(slot).loginHandle.load();
  const int32_t result = platform::CallForeign(&TMCC_MakeKeyFrame, loginHandle);
  device::NoteUnsupported(slot, result, "key frame: the device does not offer this operation");
  return result == 0 ? device::kResultOk : device::kResultFailed;
}

// Host thread; no lock. The library writes the file; a refusal (no login, no
// file written) is reported, not hidden. Another library's answer says
// nothing we know, so there the file itself tells: written by this call
// (new, or changed) is 0, anything else a failure.
int32_t CaptureSnapshot(int32_t slot, const std::string& fileName) {
  if (!device::IsValidSlot(slot)) return device::kResultBadSlot;
  const int32_t loginHandle = device::Slot(slot).loginHandle.load();
  if (!device::DeviceLibraryIsOurs()) {
    const auto before = platform::ReadFileStamp(fileName);
    platform::CallForeign(&TMCC_CapturePictureToFile, loginHandle, fileName.c_str(),
                          kSnapshotFormat);
    const auto after = platform::ReadFileStamp(fileName);
    return after && after != before ? device::kResultOk : device::kResultFailed;
  }
  const int32_t result = platform::CallForeign(&TMCC_CapturePictureToFile, loginHandle,
                                               fileName.c_str(), kSnapshotFormat);
  device::NoteUnsupported(slot, result, "snapshot: the device does not offer this operation");
  if (result != 0) device::ReportLibraryReason(slot, "snapshot");
  return result == 0 ? device::kResultOk : device::kResultFailed;
}

}  // namespace qrv::media
