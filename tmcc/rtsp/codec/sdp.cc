#include "tmcc/rtsp/codec/sdp.h"

#include <map>
#include <string>

#include "tmcc/common/codec/base64.h"
#include "tmcc/rtsp/codec/text.h"
#include "tmcc/rtsp/codec/url.h"

namespace qrv::tmcc::rtsp {

namespace {

// Payload types listed on one m= line that are kept; RTP allows 128.
constexpr size_t kMaxFormats = 32;
// m= sections looked at; a camera has a handful.
constexpr size_t kMaxMedia = 64;

struct RtpMap {
  std::string encoding;
  uint32_t clockRate = 0;
};

struct Media {
  bool video = false;
  std::vector<uint8_t> formats;
  std::optional<std::string> control;
  std::map<uint8_t, RtpMap> rtpmaps;
  std::map<uint8_t, std::string> fmtps;
};

// A control value may go on a request line: printable ASCII, no spaces.
bool UsableControl(std::string_view control) {
  if (control.size() > kMaxUrlLength) return false;
  for (char c : control) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

std::optional<uint8_t> PayloadType(std::string_view s) {
  const auto v = ParseDecimal(s, 3);
  if (!v || *v > 127) return std::nullopt;
  return static_cast<uint8_t>(*v);
}

// "video 0 RTP/AVP 96 97"
Media ParseMediaLine(std::string_view value) {
  Media m;
  size_t field = 0;
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t sp = value.find(' ', pos);
    if (sp == std::string_view::npos) sp = value.size();
    const std::string_view word = value.substr(pos, sp - pos);
    pos = sp + 1;
    if (word.empty()) continue;
    if (field == 0) m.video = EqualsIgnoreCase(word, "video");
    if (field >= 3 && m.formats.size() < kMaxFormats) {
      if (const auto pt = PayloadType(word)) m.formats.push_back(*pt);
    }
    ++field;
  }
  return m;
}

// "96 H264/90000[/params]"
void ParseRtpMap(std::string_view value, Media& m) {
  const size_t sp = value.find(' ');
  if (sp == std::string_view::npos) return;
  const auto pt = PayloadType(value.substr(0, sp));
  const std::string_view rest = TrimWhitespace(value.substr(sp + 1));
  const size_t slash = rest.find('/');
  if (!pt || slash == std::string_view::npos) return;
  std::string_view clock = rest.substr(slash + 1);
  clock = clock.substr(0, clock.find('/'));
  const auto rate = ParseDecimal(clock, 9);
  if (!rate || *rate == 0) return;
  m.rtpmaps[*pt] = {std::string(rest.substr(0, slash)), static_cast<uint32_t>(*rate)};
}

// "96 key=value;key=value"
void ParseFmtp(std::string_view value, Media& m) {
  const size_t sp = value.find(' ');
  if (sp == std::string_view::npos) return;
  const auto pt = PayloadType(value.substr(0, sp));
  if (pt) m.fmtps[*pt] = std::string(TrimWhitespace(value.substr(sp + 1)));
}

std::optional<std::vector<uint8_t>> DecodeParameterSet(std::string_view text) {
  // Several cameras leave the padding off.
  std::string padded(text);
  if (padded.size() % 4 == 1) return std::nullopt;
  while (padded.size() % 4 != 0) padded += '=';
  auto bytes = protocol::Base64Decode(padded);
  if (!bytes || bytes->empty() || bytes->size() > kMaxParameterSetBytes) return std::nullopt;
  return bytes;
}

void AddParameterSets(std::string_view value, H264Track& track) {
  size_t start = 0;
  while (start <= value.size() && track.parameterSets.size() < kMaxParameterSets) {
    size_t comma = value.find(',', start);
    if (comma == std::string_view::npos) comma = value.size();
    if (auto set = DecodeParameterSet(TrimWhitespace(value.substr(start, comma - start))))
      track.parameterSets.push_back(std::move(*set));
    start = comma + 1;
  }
}

// Calls f(key, value) for each "key=value" of an fmtp line.
template <typename F>
void ForEachParameter(std::string_view params, F f) {
  size_t pos = 0;
  while (pos <= params.size()) {
    size_t semi = params.find(';', pos);
    if (semi == std::string_view::npos) semi = params.size();
    const std::string_view item = TrimWhitespace(params.substr(pos, semi - pos));
    pos = semi + 1;
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    f(TrimWhitespace(item.substr(0, eq)), TrimWhitespace(item.substr(eq + 1)));
  }
}

// Fills the fmtp parameters of an H.265 track; false when its units carry
// decoding-order numbers (interleaving), which this client does not take.
bool ApplyH265Fmtp(std::string_view params, H264Track& track) {
  bool usable = true;
  std::string_view sets[3];  // VPS, SPS, PPS: the header's order
  ForEachParameter(params, [&](std::string_view key, std::string_view value) {
    if (EqualsIgnoreCase(key, "sprop-max-don-diff") ||
        EqualsIgnoreCase(key, "sprop-depack-buf-nalus")) {
      const auto v = ParseDecimal(value, 5);
      if (!v || *v != 0) usable = false;
    } else if (EqualsIgnoreCase(key, "sprop-vps")) {
      sets[0] = value;
    } else if (EqualsIgnoreCase(key, "sprop-sps")) {
      sets[1] = value;
    } else if (EqualsIgnoreCase(key, "sprop-pps")) {
      sets[2] = value;
    }
  });
  for (std::string_view value : sets) AddParameterSets(value, track);
  return usable;
}

// Fills the fmtp parameters of an H.264 track; false for a packetization
// mode this client cannot take.
bool ApplyFmtp(std::string_view params, H264Track& track) {
  size_t pos = 0;
  while (pos <= params.size()) {
    size_t semi = params.find(';', pos);
    if (semi == std::string_view::npos) semi = params.size();
    const std::string_view item = TrimWhitespace(params.substr(pos, semi - pos));
    pos = semi + 1;
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = TrimWhitespace(item.substr(0, eq));
    const std::string_view value = TrimWhitespace(item.substr(eq + 1));
    if (EqualsIgnoreCase(key, "packetization-mode")) {
      const auto mode = ParseDecimal(value, 1);
      if (!mode || *mode > 1) return false;
      track.packetizationMode = static_cast<int>(*mode);
    } else if (EqualsIgnoreCase(key, "profile-level-id")) {
      uint32_t id = 0;
      bool valid = value.size() == 6;
      for (char c : value) {
        const int d = HexValue(c);
        valid = valid && d >= 0;
        id = id << 4 | uint32_t(d < 0 ? 0 : d);
      }
      if (valid) track.profileLevelId = id;
    } else if (EqualsIgnoreCase(key, "sprop-parameter-sets")) {
      AddParameterSets(value, track);
    }
  }
  return true;
}

// Adds `name` to the list of formats offered, once.
void NoteOffered(std::string& offered, std::string_view name) {
  if (offered.size() > 256) return;  // enough for a message
  size_t pos = 0;
  while (pos < offered.size()) {
    size_t end = offered.find(", ", pos);
    if (end == std::string::npos) end = offered.size();
    if (std::string_view(offered).substr(pos, end - pos) == name) return;
    pos = end + 2;
  }
  if (!offered.empty()) offered += ", ";
  offered += name;
}

// The media's first H.264 or H.265 payload type it can take, as a track;
// the formats it cannot take are noted in `offered`.
std::optional<H264Track> TrackOf(const Media& m, std::string_view base,
                                 std::string_view sessionControl, std::string& offered) {
  if (!m.video) return std::nullopt;
  for (uint8_t pt : m.formats) {
    const auto map = m.rtpmaps.find(pt);
    if (map == m.rtpmaps.end()) {
      NoteOffered(offered, "payload type " + std::to_string(pt) + " without rtpmap");
      continue;
    }
    const std::string& encoding = map->second.encoding;
    const bool h264 = EqualsIgnoreCase(encoding, "H264");
    const bool h265 = EqualsIgnoreCase(encoding, "H265");
    if (!h264 && !h265) {
      NoteOffered(offered, encoding);
      continue;
    }
    H264Track track;
    track.codec = h264 ? VideoCodec::kH264 : VideoCodec::kH265;
    track.payloadType = pt;
    track.clockRate = map->second.clockRate;
    const auto fmtp = m.fmtps.find(pt);
    if (fmtp != m.fmtps.end()) {
      if (h264 && !ApplyFmtp(fmtp->second, track)) {
        NoteOffered(offered, encoding + " in packetization mode 2");
        continue;
      }
      if (h265 && !ApplyH265Fmtp(fmtp->second, track)) {
        NoteOffered(offered, encoding + " with decoding-order numbers");
        continue;
      }
    }
    if (m.control) {
      if (!UsableControl(*m.control)) {
        NoteOffered(offered, encoding + " with an unusable control");
        return std::nullopt;
      }
      track.control = ResolveControl(base, *m.control);
    } else {
      // Without its own control a stream is set up at the session's URL.
      track.control = std::string(sessionControl);
    }
    return track;
  }
  return std::nullopt;
}

}  // namespace

SdpResult ParseSdp(std::string_view text, std::string_view baseUrl) {
  SdpResult r;
  if (text.size() > kMaxSdpLength) {
    r.error = SdpError::kTooLong;
    return r;
  }
  bool sawVersion = false;
  std::optional<std::string> sessionControl;
  std::vector<Media> media;
  bool ignoring = false;  // inside an m= section past kMaxMedia
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (!sawVersion) {
      if (line != "v=0") {
        r.error = SdpError::kNotSdp;
        return r;
      }
      sawVersion = true;
      continue;
    }
    // Lines that are not "<letter>=..." are ignored, as are unknown types.
    if (line.size() < 2 || line[1] != '=') continue;
    const std::string_view value = line.substr(2);
    if (line[0] == 'm') {
      ignoring = media.size() == kMaxMedia;
      if (!ignoring) media.push_back(ParseMediaLine(value));
      continue;
    }
    if (line[0] != 'a' || ignoring) continue;
    const size_t colon = value.find(':');
    const std::string_view name = value.substr(0, colon);
    const std::string_view attr = colon == std::string_view::npos
                                      ? std::string_view()
                                      : TrimWhitespace(value.substr(colon + 1));
    if (name == "control") {
      if (media.empty()) {
        sessionControl = std::string(attr);
      } else {
        media.back().control = std::string(attr);
      }
    } else if (!media.empty() && name == "rtpmap") {
      ParseRtpMap(attr, media.back());
    } else if (!media.empty() && name == "fmtp") {
      ParseFmtp(attr, media.back());
    }
  }
  if (!sawVersion) {
    r.error = SdpError::kNotSdp;
    return r;
  }

  SessionDescription& d = r.description;
  d.control = sessionControl && UsableControl(*sessionControl)
                  ? ResolveControl(baseUrl, *sessionControl)
                  : std::string(baseUrl);
  for (const Media& m : media) {
    if (d.videoTracks.size() == kMaxVideoTracks) break;
    if (auto track = TrackOf(m, baseUrl, d.control, r.offered))
      d.videoTracks.push_back(std::move(*track));
  }
  if (d.videoTracks.empty()) {
    r.error = SdpError::kNoUsableVideo;
  } else {
    r.offered.clear();
  }
  return r;
}

std::string DescribeBaseUrl(const Response& describe, std::string_view requestUrl) {
  for (const char* name : {"Content-Base", "Content-Location"}) {
    if (const auto v = describe.headers.Find(name); v && !v->empty() && UsableControl(*v))
      return std::string(*v);
  }
  return std::string(requestUrl);
}

}  // namespace qrv::tmcc::rtsp
