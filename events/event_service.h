// The process-wide event service: the alarm listener (TCP port 5005), the
// discovery client and the connection monitor thread.
//
// The EventService object is made by the first Init and never destroyed.
// StartEventService and StopEventService run on the host thread of Init and
// Uninit, which must not overlap any other plug-in call.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "platform/critical_section.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace qrv::events {

inline constexpr int32_t kAlarmPort = 5005;
inline constexpr uint32_t kMonitorPeriodMs = 5000;
inline constexpr uint32_t kMonitorStopWaitMs = 1000;
inline constexpr uint32_t kRefreshWaitMs = 1000;

struct EventService {
  std::set<std::string> discoveredSet;  // identities already reported; guarded by lock
  platform::CriticalSection lock;
  int32_t listenerHandle = 0;
  int32_t discoveryHandle = 0;
  platform::ThreadHandle monitorThread;  // null: no monitor started
  std::atomic<bool> running{false};      // between a start and the matching stop
  std::atomic<int32_t> stopRequested{0};
  platform::ManualResetEvent stopEvent;  // cuts the monitor's pause short
  // Changes at every start and stop: a monitor runs only while the value it
  // was started with is current, so a monitor that outlived its stop never
  // acts for a later start.
  std::atomic<uint32_t> generation{0};
  // Monitor threads that have not yet returned (a detached one included).
  std::atomic<int32_t> monitorsRunning{0};
};

// The process-wide instance, or null before the first Init.
EventService* EventServiceInstance();

// Makes the instance on the first call; later calls return the existing one.
EventService* CreateEventService();

// Starts the listener, the discovery client and the monitor. Starts them again
// after a stop (a host that re-initialises keeps its events). Returns 1.
int32_t StartEventService();

// Stops listener and discovery, calls releaseSlots (the plug-in releases the
// slots' clients and recordings there; null for none), releases the listener
// and ends the monitor, waiting at most 1000 ms for it. A repeated stop does
// nothing.
void StopEventService(void (*releaseSlots)() = nullptr);

// Empties the set of reported identities and asks the library for a new
// enumeration; waits 1000 ms when the library accepted. Returns 1.
int32_t RefreshDiscovery();

}  // namespace qrv::events
