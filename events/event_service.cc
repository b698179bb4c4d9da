#include "events/event_service.h"

#include "devicelib/tmcc_api.h"
#include "events/alarm.h"
#include "events/connection_monitor.h"
#include "events/discovery.h"
#include "platform/debug_output.h"
#include "platform/foreign_call.h"

namespace qrv::events {

namespace {

std::atomic<EventService*> g_service{nullptr};

constexpr char kListenFailed[] =
    "QRV access: the alarm listener could not listen on TCP port 5005 (in use by another "
    "process?); no alarms will be received\n";

}  // namespace

EventService* EventServiceInstance() {
  return g_service.load();
}

// Host thread of Init; must not overlap Init/Uninit elsewhere. No lock.
EventService* CreateEventService() {
  EventService* service = g_service.load();
  if (service != nullptr) return service;
  auto* made = new EventService();
  // Never destroyed: library threads may still hold it as their context.
  if (!g_service.compare_exchange_strong(service, made)) {
    delete made;
    return service;
  }
  return made;
}

// Host thread of Init. Takes no lock; makes library calls and starts the
// monitor thread. On a running service it does nothing.
int32_t StartEventService() {
  EventService* service = g_service.load();
  if (service == nullptr) return 1;
  if (service->running.load()) return 1;

  service->listenerHandle = platform::CallForeign(&TMCC_Init, devicelib::kClientAlarmListener);
  service->discoveryHandle = platform::CallForeign(&TMCC_Init, devicelib::kClientEnumeration);
  platform::CallForeign(&TMCC_RegisterDataReadCallBack, service->listenerHandle,
                        AlarmMessageCallback, service);
  const bool listening =
      platform::CallForeign(&TMCC_StartListen, service->listenerHandle, kAlarmPort) == 0;
  service->listening.store(listening);
  if (!listening) platform::OutputDebugText(kListenFailed);
  platform::CallForeign(&TMCC_RegisterEnumServerCallBack, service->discoveryHandle,
                        DiscoveryEnumCallback, service);
  service->discovering.store(platform::CallForeign(&TMCC_StartEnum, service->discoveryHandle) == 0);

  // A monitor of an earlier start that is still returning sees the new
  // generation and ends without touching anything.
  service->stopEvent.Reset();
  const uint32_t generation = service->generation.fetch_add(1) + 1;
  service->stopRequested.store(0);
  if (!service->monitorThread) {
    auto* run = new MonitorRun{service, generation};
    service->monitorThread = platform::StartThread(ConnectionMonitor, run);
    if (!service->monitorThread) delete run;
  }
  service->running.store(true);
  return 1;
}

// Host thread of Uninit; must not overlap any other plug-in call. Takes no
// lock; calls releaseSlots between the stop of the event sources and the
// release of the listener; waits for the monitor at most kMonitorStopWaitMs and never ends it
// forcibly. A stopped service makes no library call.
void StopEventService(void (*releaseSlots)()) {
  EventService* service = g_service.load();
  if (service == nullptr || !service->running.load()) return;

  platform::CallForeign(&TMCC_StopListen, service->listenerHandle);
  platform::CallForeign(&TMCC_StopEnum, service->discoveryHandle);
  platform::CallForeign(&TMCC_Done, service->discoveryHandle);

  if (releaseSlots != nullptr) releaseSlots();
  // The stopped listener is released too: a restart makes a new one, so
  // keeping the old would leak one library client per Init/Uninit cycle.
  platform::CallForeign(&TMCC_Done, service->listenerHandle);

  service->stopRequested.store(1);
  service->generation.fetch_add(1);
  service->stopEvent.Set();
  if (service->monitorThread && !platform::IsCurrentThread(service->monitorThread)) {
    platform::WaitThread(service->monitorThread, kMonitorStopWaitMs);
  }
  // A monitor that did not end in time (stuck in the library or in the host's
  // callback) is detached; it checks its generation before touching anything.
  platform::CloseThread(service->monitorThread);
  service->monitorThread = nullptr;
  service->discoveryHandle = 0;
  service->listenerHandle = 0;
  service->listening.store(false);
  service->discovering.store(false);
  service->running.store(false);
}

// Host thread of operation 42. Holds the service lock only while emptying the
// set; the library call and the pause run without it.
int32_t RefreshDiscovery() {
  EventService* service = g_service.load();
  if (service == nullptr) return 1;
  {
    platform::ScopedLock lock(&service->lock);
    service->discoveredSet.clear();
  }
  // A stopped service has no enumeration client to ask.
  if (service->discoveryHandle == 0) return 1;
  if (platform::CallForeign(&TMCC_RefreshEnum, service->discoveryHandle) == 0)
    platform::SleepMs(kRefreshWaitMs);
  return 1;
}

}  // namespace qrv::events
