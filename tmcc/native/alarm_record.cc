#include "tmcc/native/alarm_record.h"

#include "tmcc/native/codec/parsers.h"

namespace qrv::tmcc {

JudgedAlarm JudgeAlarm(std::span<const uint8_t> payload, std::string_view peerAddress) {
  JudgedAlarm judged;
  auto alarm = protocol::ParseAlarm(payload);
  if (!alarm) return judged;
  if (!alarm->address.empty() && alarm->address != peerAddress) {
    judged.verdict = AlarmVerdict::kForeignAddress;
    judged.alarm = std::move(*alarm);
    return judged;
  }
  judged.verdict = AlarmVerdict::kAccepted;
  judged.alarm = std::move(*alarm);
  judged.alarm.address.assign(peerAddress);
  return judged;
}

}  // namespace qrv::tmcc
