#include "plugin/status.h"

#include <string>

#include "device/connection_history.h"
#include "device/device_table.h"
#include "device/library_origin.h"
#include "events/event_service.h"

namespace qrv::plugin {

namespace {

std::string Flag(bool value) {
  return value ? "1" : "0";
}

std::string Number(uint64_t value) {
  return std::to_string(value);
}

}  // namespace

int32_t WriteDeviceStatus(int32_t index, ParameterMap& out) {
  device::DeviceSlot& slot = device::Slot(index);
  const device::SlotStats& stats = slot.stats;
  std::string address;
  {
    platform::ScopedLock lock(&device::TableLock());
    address = slot.deviceIp;
  }
  out[kQrvKeyStatusInUse] = Flag(slot.inUse.load() == 1);
  out[kQrvKeyStatusOnline] = Flag(slot.online.load() == 1);
  out[kQrvKeyStatusDeviceIp] = address;
  out[kQrvKeyStatusStreamOpen] = Flag(slot.streamHandle.load() != device::kNoHandle);
  out[kQrvKeyStatusPacketsReceived] = Number(stats.packetsReceived.load());
  out[kQrvKeyStatusBytesReceived] = Number(stats.bytesReceived.load());
  out[kQrvKeyStatusKeyFrames] = Number(stats.keyFrames.load());
  out[kQrvKeyStatusRecording] = Flag(slot.recording.load() != 0);
  out[kQrvKeyStatusRecordedBytes] = Number(stats.recordedBytes.load());
  out[kQrvKeyStatusRecordedFrames] = Number(stats.recordedFrames.load());
  out[kQrvKeyStatusRecordedKeyFrames] = Number(stats.recordedKeyFrames.load());
  out[kQrvKeyStatusWriteErrors] = Number(stats.writeErrors.load());
  out[kQrvKeyStatusBytesLost] = Number(stats.bytesLost.load());
  const char* lastError = stats.lastError.load();
  out[kQrvKeyStatusLastError] = lastError != nullptr ? lastError : "";
  // Empty, not 0, when the library cannot tell: no reconnection is known.
  devicelib::ConnectionStats history;
  const bool known = device::ReadConnectionHistory(slot, &history);
  out[kQrvKeyStatusReconnects] = known ? Number(history.reconnects) : "";
  out[kQrvKeyStatusLastOutageMs] = known ? Number(history.lastOutageMs) : "";
  return device::kResultOk;
}

int32_t WriteServiceStatus(ParameterMap& out) {
  const events::EventService* service = events::EventServiceInstance();
  const bool running = service != nullptr && service->running.load();
  int32_t inUse = 0;
  for (int32_t i = 0; i < device::kSlotCount; ++i) {
    if (device::Slot(i).inUse.load() == 1) ++inUse;
  }
  // A start refused by another library may still have worked: its answer
  // says nothing we know, so the state is unknown (empty), not 0.
  const auto started = [running](bool answeredZero) {
    if (!running) return Flag(false);
    return answeredZero || device::DeviceLibraryIsOurs() ? Flag(answeredZero) : std::string();
  };
  out[kQrvKeyServiceEventService] = Flag(running);
  out[kQrvKeyServiceAlarmListener] = started(running && service->listening.load());
  out[kQrvKeyServiceAlarmPort] = Number(events::kAlarmPort);
  out[kQrvKeyServiceDiscovery] = started(running && service->discovering.load());
  out[kQrvKeyServiceSlotsInUse] = Number(static_cast<uint64_t>(inUse));
  return device::kResultOk;
}

}  // namespace qrv::plugin
