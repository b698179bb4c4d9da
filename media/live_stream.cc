#include "media/live_stream.h"

#include <cstdio>

#include "device/device_table.h"
#include "device/library_reason.h"
#include "device/slot_owner.h"
#include "devicelib/tmcc_api.h"
#include "media/stream_connect_record.h"
#include "media/stream_delivery.h"
#include "platform/critical_section.h"
#include "platform/debug_output.h"
#include "platform/foreign_call.h"

namespace qrv::media {
namespace {

using device::DeviceSlot;

// "预览句柄 %d\n" (preview handle) in the GBK code page.
constexpr char kPreviewHandleFormat[] = "\xD4\xA4\xC0\xC0\xBE\xE4\xB1\xFA %d\n";

void ReportStreamHandle(int32_t handle) {
  char text[256] = {};
  std::snprintf(text, sizeof(text), kPreviewHandleFormat, handle);
  platform::OutputDebugText(text);
}

}  // namespace

// Threads: host threads; takes the table lock for the store.
void StorePlayWindow(int32_t slot, uint32_t playWnd) {
  if (!device::IsValidSlot(slot)) return;
  platform::ScopedLock lock(&device::TableLock());
  device::Slot(slot).playWnd.store(playWnd);
}

// Threads: host threads; no lock. The library may start calling
// StreamPacketCallback as soon as it is registered; the slot accepts that
// client's packets from before the connect call on (pendingStreamHandle).
int32_t OpenLiveStream(int32_t streamType, int32_t slot, int32_t* handleOut, std::string user,
                       std::string password, std::string deviceIp, uint32_t playWnd) {
  if (!device::IsValidSlot(slot)) return device::kResultFailed;
  // Refused before any library call: a text that does not fit its field.
  auto record = BuildStreamConnectRecord(deviceIp, user, password, streamType);
  if (!record) return device::kResultFailed;

  // A slot plays one stream at a time, but the earlier client keeps working
  // until the new one has connected (a refused re-open keeps it). Meanwhile
  // the new client's packets are held back, except its header.
  DeviceSlot& entry = device::Slot(slot);
  entry.pendingHeader.Store(nullptr, 0);
  const int32_t handle = platform::CallForeign(&TMCC_Init, devicelib::kClientStream);
  ReportStreamHandle(handle);
  // Accepted from now on: the device's header may arrive before
  // TMCC_ConnectStream returns, and a recording cannot start without it.
  if (handle != 0) entry.pendingStreamHandle.store(handle);
  platform::CallForeign(&TMCC_SetAutoReConnect, handle, 1);
  platform::CallForeign(&TMCC_SetDisplayShow, handle, 1);
  platform::CallForeign(&TMCC_SetStreamBufferTime, handle, 0);
  platform::CallForeign(&TMCC_RegisterStreamCallBack, handle, StreamPacketCallback,
                        reinterpret_cast<void*>(static_cast<intptr_t>(slot)));
  const int32_t connected = platform::CallForeign(&TMCC_ConnectStream, handle, &*record, playWnd);
  if (connected != 0) {
    // The plug-in's result says only "failed": the library's words and
    // result go to the debugger output while its client still exists.
    device::ReportClientReason(handle, "slot " + std::to_string(slot) + ": stream open", connected);
    // The attempt's client is never stored in the slot: release it here.
    int32_t pending = handle;
    entry.pendingStreamHandle.compare_exchange_strong(pending, device::kNoHandle);
    if (handle != 0) platform::CallForeign(&TMCC_Done, handle);
    return device::kResultFailed;
  }
  if (handleOut != nullptr) *handleOut = handle;
  return device::kResultOk;
}

// Threads: host threads; see device::AttachStream.
void StoreLiveStream(int32_t slot, int32_t streamHandle, int32_t channel, int32_t streamType) {
  device::AttachStream(device::SlotIndex(slot), device::StreamHandle(streamHandle), channel,
                       streamType);
}

// Threads: host threads; see device::DetachStream.
void CloseLiveStream(int32_t slot) {
  device::DetachStream(device::SlotIndex(slot));
}

}  // namespace qrv::media
