#include "media/device_requests.h"

#include "device/device_table.h"
#include "devicelib/tmcc_api.h"

namespace qrv::media {

namespace {

constexpr char kSnapshotFormat[] = "JPEG";

}  // namespace

// Host thread; no lock. The request goes to the login client whatever it
// holds (-1 for a slot without a login): the library answers for it.
int32_t RequestKeyFrame(int32_t slot) {
  if (!device::IsValidSlot(slot)) return device::kResultBadSlot;
  const int32_t loginHandle = device::Slot(slot).loginHandle.load();
  return TMCC_MakeKeyFrame(loginHandle) == 0 ? device::kResultOk : device::kResultFailed;
}

// Host thread; no lock. The library writes the file; a refusal (no login, no
// file written) is reported, not hidden.
int32_t CaptureSnapshot(int32_t slot, const std::string& fileName) {
  if (!device::IsValidSlot(slot)) return device::kResultBadSlot;
  const int32_t loginHandle = device::Slot(slot).loginHandle.load();
  const int32_t result = TMCC_CapturePictureToFile(loginHandle, fileName.c_str(), kSnapshotFormat);
  return result == 0 ? device::kResultOk : device::kResultFailed;
}

}  // namespace qrv::media
