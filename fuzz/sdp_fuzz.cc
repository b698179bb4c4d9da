// Feeds arbitrary text to the session description parser and the URL parser.
// Checks the bounds of what a description yields (tracks, parameter sets),
// that every control it resolves could go on a request line, and that a URL
// written back without its credentials parses to the same place.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tmcc/rtsp/codec/sdp.h"
#include "tmcc/rtsp/codec/url.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool RequestLineSafe(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return !s.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  for (std::string_view base : {"rtsp://192.0.2.10/live/", "rtsp://h:8554/a?b=c"}) {
    const auto r = rt::ParseSdp(text, base);
    Check(r.ok() == !r.description.videoTracks.empty());
    if (!r.ok()) continue;
    Check(r.description.videoTracks.size() <= rt::kMaxVideoTracks);
    Check(RequestLineSafe(r.description.control));
    for (const auto& t : r.description.videoTracks) {
      Check(RequestLineSafe(t.control));
      Check(t.payloadType <= 127 && t.clockRate > 0);
      Check(t.packetizationMode == 0 || t.packetizationMode == 1);
      Check(!t.profileLevelId || *t.profileLevelId <= 0xffffff);
      Check(t.parameterSets.size() <= rt::kMaxParameterSets);
      for (const auto& set : t.parameterSets)
        Check(!set.empty() && set.size() <= rt::kMaxParameterSetBytes);
    }
  }

  const auto url = rt::ParseUrl(text);
  if (url.ok()) {
    Check(!url.url.host.empty() && url.url.port != 0 && url.url.path.front() == '/');
    const std::string plain = url.url.WithoutCredentials();
    Check(RequestLineSafe(plain));
    const auto again = rt::ParseUrl(plain);
    Check(again.ok() && !again.url.hasCredentials);
    Check(again.url.host == url.url.host && again.url.port == url.url.port);
    Check(again.url.path == url.url.path && again.url.query == url.url.query);
    for (char c : url.url.user + url.url.password) {
      const auto u = static_cast<unsigned char>(c);
      Check(u >= 0x20 && u != 0x7f);
    }
  }
  return 0;
}
