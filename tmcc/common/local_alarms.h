// Alarms that arrive by another way than an alarm connection (a standard
// camera's events, pulled by its login client) reach every listening alarm
// listener of this process as if the device had pushed them: same callback,
// same message, the device's address as the connection knows it, and in
// addition the handle of the login that pulled them. The address alone
// cannot tell two cameras on one address and different ports apart, nor
// match a login given as a URL; the handle does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc {

class AlarmListener;

// A listener that started listening joins; one that stops leaves. Held
// weakly: a listener that is gone is simply skipped.
// Threading: any thread; takes the hub's mutex briefly, calls nothing out.
void JoinLocalAlarms(const std::shared_ptr<AlarmListener>& listener);
void LeaveLocalAlarms(const AlarmListener* listener);

// Hands alarm, heard by the login client loginHandle (never 0), to every
// listening listener (queued on each one's strand; the callbacks run there).
// Returns how many listeners it was handed to: 0 tells the caller nobody is
// listening, so it can count the alarm as unheard.
// Threading: any thread; takes the hub's mutex to copy the list, posts
// outside it.
size_t DeliverLocalAlarm(const protocol::Alarm& alarm, int32_t loginHandle);

}  // namespace qrv::tmcc
