// Judging one received alarm against the connection it came on. Pure, so the
// fuzz target runs exactly what the listener runs.
#pragma once

#include <span>
#include <string_view>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc {

enum class AlarmVerdict {
  kAccepted,        // deliver, attributed to the peer address
  kMalformed,       // the payload is not an alarm
  kForeignAddress,  // names an address other than the connection's own
};

struct JudgedAlarm {
  AlarmVerdict verdict = AlarmVerdict::kMalformed;
  protocol::Alarm alarm;  // for kAccepted, address is the peer address
};

// An alarm is always attributed to the connection's real peer address: an
// address text in the frame is accepted only when empty or exactly that
// address (a device behind address translation leaves it empty), so no peer
// can raise an alarm in another device's name.
JudgedAlarm JudgeAlarm(std::span<const uint8_t> payload, std::string_view peerAddress);

}  // namespace qrv::tmcc
