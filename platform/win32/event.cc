// Win32 backend: a manual-reset event object.
#include "platform/event.h"

#include <windows.h>

#include <cstdlib>

namespace qrv::platform {

ManualResetEvent::ManualResetEvent() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  // Without the event every pause and stop request would be lost silently.
  if (handle_ == nullptr) std::abort();
}
ManualResetEvent::~ManualResetEvent() {
  CloseHandle(handle_);
}
void ManualResetEvent::Set() {
  SetEvent(handle_);
}
void ManualResetEvent::Reset() {
  ResetEvent(handle_);
}
bool ManualResetEvent::IsSet() {
  return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}
bool ManualResetEvent::WaitFor(uint32_t timeoutMs) {
  return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace qrv::platform
