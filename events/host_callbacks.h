// The three process-wide host callbacks for device events. Each is stored
// only while none is stored: the first non-null registration wins for the life
// of the process. Any thread; lock-free.
#pragma once

#include "qrvaccess/qrv_access.h"

namespace qrv::events {

void RegisterDiscoveryCallback(DiscoveryCallback callback);
void RegisterAlarmCallback(AlarmCallback callback);
void RegisterConnectionStatusCallback(ConnectionStatusCallback callback);

DiscoveryCallback CurrentDiscoveryCallback();
AlarmCallback CurrentAlarmCallback();
ConnectionStatusCallback CurrentConnectionStatusCallback();

// Tests only: forgets all three, as in a freshly loaded library, so a test of
// the first registration can run again in the same process. The plug-in never
// calls it: a host's registration lasts as long as the process.
void ForgetHostCallbacksForTests();

}  // namespace qrv::events
