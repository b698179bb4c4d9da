#include "device/unsupported_operation.h"

#include "device/device_table.h"
#include "devicelib/tmcc_errors.h"

namespace qrv::device {

bool NoteUnsupported(int32_t slot, int32_t libraryResult, const char* reason) {
  if (libraryResult != devicelib::kErrUnsupported) return false;
  if (IsValidSlot(slot)) Slot(slot).stats.lastError.store(reason, std::memory_order_relaxed);
  return true;
}

}  // namespace qrv::device
