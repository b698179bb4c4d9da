// The connection monitor: every 5000 ms one pass over the slots, reporting
// on-line and off-line changes of logged-in devices to the host's
// ConnectionStatusCallback. Runs on its own thread.
#pragma once

#include <cstdint>

namespace qrv::events {

struct EventService;

// The thread procedure; arg is the EventService. Returns 0.
uint32_t ConnectionMonitor(void* arg);

// One pass over the 256 slots. Stops early (between slots) when stop is
// requested. Monitor thread only.
void RunMonitorPass(EventService& service);

}  // namespace qrv::events
