// Feeds arbitrary alarm payloads and peer addresses to the listener's alarm
// judgement: an accepted alarm always carries the peer's address, and one
// naming any other address is never accepted.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tmcc/native/alarm_record.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace pr = qrv::tmcc::protocol;
using qrv::tmcc::AlarmVerdict;

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t peerLength = std::min<size_t>(data[0] % 40, size - 1);
  const std::string peer(reinterpret_cast<const char*>(data + 1), peerLength);
  std::span<const uint8_t> payload(data + 1 + peerLength, size - 1 - peerLength);

  const auto judged = qrv::tmcc::JudgeAlarm(payload, peer);
  const auto parsed = pr::ParseAlarm(payload);
  Check(parsed.has_value() == (judged.verdict != AlarmVerdict::kMalformed));
  if (judged.verdict == AlarmVerdict::kAccepted) {
    Check(judged.alarm.address == peer);
    Check(parsed->address.empty() || parsed->address == peer);
    Check(judged.alarm.channel == parsed->channel && judged.alarm.kind == parsed->kind &&
          judged.alarm.value == parsed->value);
  }
  if (judged.verdict == AlarmVerdict::kForeignAddress) {
    Check(!parsed->address.empty() && parsed->address != peer);
  }
  // Whatever parses builds back into one alarm frame.
  if (parsed) {
    std::vector<uint8_t> frame;
    Check(pr::BuildAlarm(frame, 1, *parsed));
    auto again = pr::DecodeFrame(frame);
    Check(again.status == pr::DecodeStatus::kFrame && again.consumed == frame.size());
  }
  return 0;
}
