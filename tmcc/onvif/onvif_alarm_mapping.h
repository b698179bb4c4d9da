// Which of a standard camera's event notifications become alarms, and which
// alarm. The plug-in hands the host only alarms of kind kAlarmKindAlarm with
// their value, so the sort of event is told by the value, as the simulator's
// devices do on our protocol (positive: motion, negative: a digital input):
//   motion (VideoSource/MotionAlarm, RuleEngine/CellMotionDetector/Motion,
//     RuleEngine/MotionRegionDetector/Motion)        value 1
//   tampering (VideoSource/GlobalSceneChange/..., ImageTooBlurry/...,
//     ImageTooDark/..., ImageTooBright/...)           value 2
//   digital input N (Device/Trigger/DigitalInput, Device/IO/...)
//                                                     value -N (-1 when N < 1)
// The channel is the number a source item naming the video source or the
// input ends with (VideoSource_1, DigitalInput_2, "3"), 0 when there is none.
//
// The host's alarm has no "ended": only a state turning true is an alarm; a
// state turning false is dropped as kCleared. An "Initialized" message tells
// the state at subscription time: a true one is delivered (a condition
// already on when we subscribed is one the host has not heard of), a false
// one is kCleared like any other. Deleted properties are kCleared too.
// Pure; any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "tmcc/common/codec/messages.h"
#include "tmcc/onvif/codec/event_service.h"

namespace qrv::tmcc {

inline constexpr int32_t kOnvifMotionValue = 1;
inline constexpr int32_t kOnvifTamperValue = 2;

enum class NotificationVerdict {
  kAlarm,         // deliver alarm
  kCleared,       // a known topic whose condition ended (or was never on)
  kUnknownTopic,  // not a topic we map
  kNoState,       // a known topic without a readable true/false state
};

struct MappedNotification {
  NotificationVerdict verdict = NotificationVerdict::kUnknownTopic;
  protocol::Alarm alarm;  // set for kAlarm; address = cameraAddress
};

// cameraAddress: the address the connection knows the camera by; nothing
// inside the message is taken as the alarm's address.
MappedNotification MapNotification(const onvif::NotificationMessage& message,
                                   std::string_view cameraAddress);

}  // namespace qrv::tmcc
