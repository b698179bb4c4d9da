// Feeds arbitrary bytes to the frame decoder the way a receiver does (frame
// after frame from one buffer) and every decoded payload to every parser.
// Whatever a parser accepts must build back into a frame that decodes again.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace pr = qrv::tmcc::protocol;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

template <typename Message, typename Build>
void RoundTrip(const std::optional<Message>& m, Build build) {
  if (!m) return;
  std::vector<uint8_t> out;
  Check(build(out, *m));
  auto again = pr::DecodeFrame(out);
  Check(again.status == pr::DecodeStatus::kFrame && again.consumed == out.size());
}

void ParseAll(std::span<const uint8_t> payload) {
  RoundTrip(pr::ParseServerHello(payload),
            [](auto& o, auto& m) { return pr::BuildServerHello(o, 1, m); });
  RoundTrip(pr::ParseLogin(payload), [](auto& o, auto& m) { return pr::BuildLogin(o, 1, m); });
  RoundTrip(pr::ParseLoginResult(payload),
            [](auto& o, auto& m) { return pr::BuildLoginResult(o, 1, m); });
  RoundTrip(pr::ParseRequest(payload), [](auto& o, auto& m) { return pr::BuildRequest(o, 1, m); });
  RoundTrip(pr::ParseAnswer(payload), [](auto& o, auto& m) { return pr::BuildAnswer(o, 1, m); });
  RoundTrip(pr::ParseStreamData(payload),
            [](auto& o, auto& m) { return pr::BuildStreamData(o, 1, m); });
  RoundTrip(pr::ParseAlarm(payload), [](auto& o, auto& m) { return pr::BuildAlarm(o, 1, m); });
  RoundTrip(pr::ParseProbe(payload), [](auto& o, auto& m) { return pr::BuildProbe(o, 1, m); });
  RoundTrip(pr::ParseProbeAnswer(payload),
            [](auto& o, auto& m) { return pr::BuildProbeAnswer(o, 1, m); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> rest(data, size);
  while (!rest.empty()) {
    auto r = pr::DecodeFrame(rest, size % 2 == 0 ? UINT32_MAX : 64);
    if (r.status != pr::DecodeStatus::kFrame) {
      Check(r.consumed == 0);
      break;
    }
    Check(r.consumed >= pr::kFrameHeaderSize && r.consumed <= rest.size());
    Check(r.frame.payload.size() == r.consumed - pr::kFrameHeaderSize);
    Check(r.frame.payload.size() <= pr::MaxPayloadFor(r.frame.type));
    ParseAll(r.frame.payload);
    rest = rest.subspan(r.consumed);
  }
  // Also every parser straight over the raw input.
  ParseAll(std::span<const uint8_t>(data, size));
  return 0;
}
