// Feeds arbitrary bytes as one discovery datagram through what each side does
// with it: the device parses a probe; the library decodes an answer, judges it
// against its probe round and fills the enumeration record. Checks that the
// round never holds more devices than its cap, that an accepted answer builds
// back into a datagram that decodes the same way, and that every text lands
// in its record field cut to fit with its NUL.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "devicelib/tmcc_records.h"
#include "tmcc/common/probe_round.h"
#include "tmcc/common/record_fields.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace pr = qrv::tmcc::protocol;
namespace dl = qrv::devicelib;
using qrv::tmcc::ProbeRound;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

template <size_t N>
void CheckField(const char (&field)[N], const std::string& text) {
  auto stored = qrv::tmcc::FieldText(field);
  Check(stored.has_value());
  // Network texts hold no NUL, so the field keeps exactly what fits.
  Check(*stored == text.substr(0, N - 1));
}

// The probe id the seeds use, so answers in the corpus reach the round's set.
constexpr uint32_t kProbeId = 4;
constexpr size_t kCap = 8;

void JudgeAnswer(const pr::FrameView& frame, const pr::ProbeAnswer& answer) {
  const auto now = ProbeRound::Clock::time_point{} + std::chrono::hours(1);
  ProbeRound round(kCap);
  Check(round.Judge(frame.requestId, answer.probeId, answer.identity, answer.address, now) ==
        ProbeRound::Verdict::kLate);
  round.Start(kProbeId, now);
  const auto verdict =
      round.Judge(frame.requestId, answer.probeId, answer.identity, answer.address, now);
  const bool ours = frame.requestId == kProbeId && answer.probeId == kProbeId;
  Check(verdict == (ours ? ProbeRound::Verdict::kReport : ProbeRound::Verdict::kUnsentProbe));
  if (!ours) return;
  Check(round.Judge(frame.requestId, answer.probeId, answer.identity, answer.address, now) ==
        ProbeRound::Verdict::kRepeat);
  // More devices than the cap, named after this one: the set stays capped.
  for (size_t i = 0; i < 2 * kCap; ++i) {
    round.Judge(kProbeId, kProbeId, answer.identity + std::to_string(i), answer.address, now);
    Check(round.FoundCount() <= kCap);
  }
  Check(round.Judge(kProbeId, kProbeId, answer.identity, answer.address,
                    now + ProbeRound::kAnswerTime + std::chrono::milliseconds(1)) ==
        ProbeRound::Verdict::kLate);
}

void FillRecord(const pr::ProbeAnswer& answer) {
  dl::ServerInfoRecord info{};
  info.size = sizeof(info);
  qrv::tmcc::SetFieldText(info.model, answer.model);
  qrv::tmcc::SetFieldText(info.identity, answer.identity);
  std::memcpy(info.mac, answer.mac.data(), sizeof(info.mac));
  qrv::tmcc::SetFieldText(info.address, answer.address);
  qrv::tmcc::SetFieldText(info.mask, answer.mask);
  qrv::tmcc::SetFieldText(info.gateway, answer.gateway);
  CheckField(info.model, answer.model);
  CheckField(info.identity, answer.identity);
  CheckField(info.address, answer.address);
  CheckField(info.mask, answer.mask);
  CheckField(info.gateway, answer.gateway);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> datagram(data, size);
  auto r = pr::DecodeFrame(datagram);
  // One datagram is exactly one frame; anything else is dropped whole.
  if (r.status != pr::DecodeStatus::kFrame || r.consumed != size) return 0;
  Check(r.frame.payload.size() <= pr::MaxPayloadFor(r.frame.type));

  if (r.frame.type == pr::MessageType::kProbe) {
    auto probe = pr::ParseProbe(r.frame.payload);
    if (!probe) return 0;
    std::vector<uint8_t> out;
    Check(pr::BuildProbe(out, r.frame.requestId, *probe));
    Check(out.size() == size && std::memcmp(out.data(), data, size) == 0);
    return 0;
  }
  if (r.frame.type != pr::MessageType::kProbeAnswer) return 0;
  auto answer = pr::ParseProbeAnswer(r.frame.payload);
  if (!answer) return 0;
  std::vector<uint8_t> out;
  Check(pr::BuildProbeAnswer(out, r.frame.requestId, *answer));
  Check(out.size() == size && std::memcmp(out.data(), data, size) == 0);
  JudgeAnswer(r.frame, *answer);
  FillRecord(*answer);
  return 0;
}
