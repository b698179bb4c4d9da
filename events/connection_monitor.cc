#include "events/connection_monitor.h"

#include <memory>

#include "device/connection_history.h"
#include "device/device_table.h"
#include "devicelib/tmcc_api.h"
#include "events/event_service.h"
#include "events/host_callbacks.h"
#include "platform/foreign_call.h"

namespace qrv::events {

namespace {

constexpr int32_t kStateOnline = 0;
constexpr int32_t kStateOffline = 1;

// Asks the library whether the slot's login is connected. The handle is read
// again after announcing the use, so a logout or shutdown that takes the
// handle (exchange to -1, then waiting for loginUsers to drain) either sees
// this use and waits for it, or is seen here and nothing is asked.
// Returns -1 when the slot has no login handle (any more), else 0 or 1.
int32_t ProbeConnection(device::DeviceSlot& slot) {
  slot.loginUsers.fetch_add(1);
  int32_t connected = -1;
  const int32_t handle = slot.loginHandle.load();
  if (handle != device::kNoHandle) {
    try {
      connected = platform::CallForeign(&TMCC_IsConnect, handle) != 0 ? 1 : 0;
    } catch (...) {
      slot.loginUsers.fetch_sub(1);
      throw;
    }
  }
  slot.loginUsers.fetch_sub(1);
  return connected;
}

}  // namespace

// Any thread; lock-free.
bool MonitorStillCurrent(const EventService& service, uint32_t generation) {
  return service.stopRequested.load() == 0 && service.generation.load() == generation;
}

// Monitor thread (or a test driving passes). Takes no lock: the slot fields it
// reads are atomics, and no library call or host call is made under the
// device-table lock. The host callback runs with no use of the login client
// outstanding, so a host may log out from inside it.
void RunMonitorPass(EventService& service, uint32_t generation) {
  for (int32_t i = 0; i < device::kSlotCount; ++i) {
    if (!MonitorStillCurrent(service, generation)) return;
    if (CurrentConnectionStatusCallback() == nullptr) continue;
    device::DeviceSlot& slot = device::Slot(i);
    if (slot.inUse.load() != 1 || slot.loginHandle.load() == device::kNoHandle) continue;

    const int32_t login = slot.loginHandle.load();
    const int32_t probed = ProbeConnection(slot);
    if (probed < 0) continue;
    // Packets accepted since the last pass prove the device reachable while
    // its login is still being restored (a device that drops its connections
    // every few seconds but streams in between is not off line).
    const uint64_t packets = slot.stats.packetsReceived.load(std::memory_order_relaxed);
    const bool framesFlowing =
        packets != slot.stats.packetsAtLastPass.exchange(packets, std::memory_order_relaxed);
    const int32_t connected = probed == 1 || framesFlowing ? 1 : 0;
    const uint8_t online = slot.online.load();
    // An outage the library repaired between two passes leaves the state as
    // it was; only the library's count of lost sessions tells of it. That
    // count moves when a session is lost, before the library can be up again,
    // so read after a probe that found the device up it already holds every
    // outage behind that state (a count of restorations may still lag there
    // and report the outage a second time).
    devicelib::ConnectionStats history;
    const bool haveHistory = device::ReadConnectionHistory(slot, &history);
    const bool missedOutage =
        haveHistory && history.disconnects != slot.stats.outagesReported.load();
    int32_t state;
    if (connected == 1 && online == 0) {
      state = kStateOnline;
    } else if (connected == 0 && online == 1) {
      state = kStateOffline;
    } else if (probed == 1 && missedOutage && history.connected == 1) {
      // (Down again since the probe: the next pass reports that outage once.)
      state = kStateOffline;  // followed by the on-line report below
    } else {
      continue;
    }

    // A stop that came while the library answered releases this login; say
    // nothing about it any more.
    if (!MonitorStillCurrent(service, generation)) return;
    ConnectionStatusCallback callback = CurrentConnectionStatusCallback();
    if (callback == nullptr) continue;
    callback(i, kQrvDeviceTypeCode, "", slot.devicePort.load(), state);
    if (!MonitorStillCurrent(service, generation)) return;
    slot.online.store(state == kStateOnline ? 1 : 0);
    if (connected == 1 && state == kStateOffline) {
      // The host may have logged out from inside the first report.
      if (slot.loginHandle.load() != login) continue;
      callback(i, kQrvDeviceTypeCode, "", slot.devicePort.load(), kStateOnline);
      if (!MonitorStillCurrent(service, generation)) return;
      slot.online.store(1);
    }
    // On line by its frames alone, the login's outage so far is the one just
    // reported; its restoration adds no second pair.
    if (haveHistory && connected == 1) slot.stats.outagesReported.store(history.disconnects);
  }
}

void RunMonitorPass(EventService& service) {
  RunMonitorPass(service, service.generation.load());
}

// Thread procedure of the monitor thread, started by StartEventService. Takes
// no lock of its own; waits on stopEvent between passes. Ends by itself once
// its generation is no longer current. An exception out of a pass (a host
// callback that throws) ends that pass only; the slot's change is reported
// again at the next one, since online was not updated.
uint32_t ConnectionMonitor(void* arg) {
  std::unique_ptr<MonitorRun> run(static_cast<MonitorRun*>(arg));
  EventService& service = *run->service;
  const uint32_t generation = run->generation;
  service.monitorsRunning.fetch_add(1);
  while (MonitorStillCurrent(service, generation)) {
    try {
      RunMonitorPass(service, generation);
    } catch (...) {
    }
    if (!MonitorStillCurrent(service, generation)) break;
    service.stopEvent.WaitFor(kMonitorPeriodMs);
  }
  service.monitorsRunning.fetch_sub(1);
  return 0;
}

}  // namespace qrv::events
