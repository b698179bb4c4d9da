// The connection monitor: every 5000 ms one pass over the slots, reporting
// on-line and off-line changes of logged-in devices to the host's
// ConnectionStatusCallback. Runs on its own thread.
#pragma once

#include <cstdint>

namespace qrv::events {

struct EventService;

// What one monitor thread runs for: the service and the generation current
// when it was started. Made on the heap by the starter; the thread deletes it.
struct MonitorRun {
  EventService* service;
  uint32_t generation;
};

// The thread procedure; arg is a MonitorRun. Returns 0.
uint32_t ConnectionMonitor(void* arg);

// True while the service has not been stopped or restarted since generation.
bool MonitorStillCurrent(const EventService& service, uint32_t generation);

// One pass over the 256 slots for the given generation. Stops early (between
// slots, and before reporting) once that generation is no longer current.
// Monitor thread only.
void RunMonitorPass(EventService& service, uint32_t generation);

// One pass for the service's current generation.
void RunMonitorPass(EventService& service);

}  // namespace qrv::events
