#include "plugin/access_plugin.h"

#include "device/device_table.h"
#include "device/slot_owner.h"
#include "events/event_service.h"
#include "events/host_callbacks.h"
#include "fault/kt_exception.h"
#include "media/record_batch.h"
#include "media/stream_delivery.h"
#include "plugin/dispatcher.h"

namespace qrv::plugin {

int32_t CQRVAccessPlugin::Init() {
  return fault::RunGuarded(
      [this] {
        moduleInfo.name = kModuleName;
        moduleInfo.version = kModuleVersion;
        moduleInfo.extraValue = 0;
        // A slot reset by an earlier Init (or a host that skipped Uninit) may
        // still hold clients, a stream or a recording: release them before
        // the reset forgets their handles.
        device::ReleaseEarlierSlots();
        device::ResetAllSlots();
        events::CreateEventService();
        events::StartEventService();
        media::EnableBatchedRecording();
        return 1;
      },
      -1);
}

void CQRVAccessPlugin::Uninit() {
  media::FlushRecordWrites();  // a host inside its data callback, as in Execute
  // The event sources stop first, then every slot in use gives up its
  // clients and recording, then the listener and the monitor go.
  if (events::EventServiceInstance() != nullptr) {
    events::StopEventService(&device::ReleaseClientsOfSlotsInUse);
  }
  media::DisableBatchedRecording();
}

int32_t CQRVAccessPlugin::Execute(ParameterMap& input, ParameterMap& output) {
  return plugin::Execute(input, output);
}

void CQRVAccessPlugin::SetDiscoveryCallback(DiscoveryCallback callback) {
  events::RegisterDiscoveryCallback(callback);
}

int32_t CQRVAccessPlugin::SetStreamDataCallback(uint32_t slot, StreamDataCallback callback,
                                                uintptr_t user) {
  if (slot > 255u) return device::kResultBadSlot;
  media::RegisterStreamDataCallback(slot, callback, user);
  // Headers are cached only once the table is initialised, and the host
  // receives them only from then on.
  if (callback != nullptr && events::EventServiceInstance() != nullptr) {
    media::ReplayCachedHeaders(slot, callback, user);
  }
  return device::kResultOk;
}

int32_t CQRVAccessPlugin::SetSlotCallback2(uint32_t, uint32_t, uint32_t) {
  return device::kResultOk;
}

int32_t CQRVAccessPlugin::SetAlarmCallback(AlarmCallback callback, uint32_t) {
  events::RegisterAlarmCallback(callback);
  return device::kResultOk;
}

int32_t CQRVAccessPlugin::SetConnectionStatusCallback(ConnectionStatusCallback callback, uint32_t) {
  events::RegisterConnectionStatusCallback(callback);
  return device::kResultOk;
}

int32_t CQRVAccessPlugin::SetSlotCallback3(uint32_t slot, uint32_t, uint32_t) {
  return slot > 255u ? device::kResultBadSlot : device::kResultOk;
}

}  // namespace qrv::plugin
