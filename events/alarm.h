// Alarm reception: messages from the alarm listener become AlarmCallback
// reports (3, slot, 102209, value). Runs on the library's listener thread.
#pragma once

#include <cstdint>

#include "devicelib/tmcc_records.h"
#include "platform/callconv.h"

namespace qrv::events {

// -1 for a null message, -2 for a code other than 271, otherwise 0. No
// exception leaves it.
int32_t QRV_CALLBACK AlarmMessageCallback(int32_t handle, devicelib::AlarmMessage* message,
                                          void* context);

// Reports one alarm record inside a fault barrier; always 0.
int32_t HandleAlarmRecord(const devicelib::AlarmRecord* record);

}  // namespace qrv::events
