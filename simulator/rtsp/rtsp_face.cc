#include "simulator/rtsp/rtsp_face.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>

#include "tmcc/common/codec/base64.h"
#include "tmcc/native/codec/auth.h"
#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/h264_packetizer.h"
#include "tmcc/rtsp/codec/interleaved.h"
#include "tmcc/rtsp/codec/message.h"
#include "tmcc/rtsp/codec/text.h"

namespace qrv::sim {

namespace rtsp = tmcc::rtsp;
namespace proto = tmcc::protocol;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A viewer with this much unsent media loses frames up to the next IDR, as a
// device-protocol viewer does.
constexpr size_t kMaxQueuedMedia = 4u * 1024 * 1024;
// Past this a peer that does not read is cut.
constexpr size_t kMaxQueued = 16u * 1024 * 1024;
// The most one peer may have buffered: a whole request or interleaved packet
// and one read more. The parsers refuse anything larger first.
constexpr size_t kReadChunk = 4096;
constexpr size_t kMaxInput = rtsp::kMaxHeaderBlock + rtsp::kMaxBody + rtsp::kInterleavedHeaderSize +
                             rtsp::kMaxInterleavedPacket + kReadChunk;
constexpr auto kRequestTime = 10s;  // a begun request must be whole within this
constexpr int kSessionTimeoutSeconds = 60;
// Nothing received for this long: gone (a player keeps alive well within it).
constexpr auto kIdleTime = std::chrono::seconds(kSessionTimeoutSeconds);
constexpr auto kIdlePlaying = 2 * kIdleTime;  // RTCP reports count, not every player sends them
constexpr auto kWriteStallTime = 30s;         // queued bytes and no write progress
constexpr int kMaxAuthFailures = 3;           // wrong answers on one connection
// Each connection may hold kMaxQueued plus its input: bound them all.
constexpr size_t kMaxViewerConnections = 64;
constexpr uint8_t kPayloadType = 96;
constexpr uint32_t kClockRate = 90000;
constexpr const char* kPublic = "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, GET_PARAMETER, TEARDOWN";

std::string RandomHex(size_t bytes) {
  proto::Nonce nonce;
  if (!proto::MakeNonce(nonce)) return {};
  std::string out;
  char digits[3];
  for (size_t i = 0; i < bytes && i < nonce.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", nonce[i]);
    out += digits;
  }
  return out;
}

uint32_t RandomU32() {
  proto::Nonce nonce{};
  proto::MakeNonce(nonce);
  return uint32_t(nonce[0]) << 24 | uint32_t(nonce[1]) << 16 | uint32_t(nonce[2]) << 8 | nonce[3];
}

// The name=value pairs of a Digest Authorization value (after the scheme),
// names in lower case; nothing when malformed, repeated or over the bounds.
std::optional<std::map<std::string, std::string>> ParseAuthParams(std::string_view s) {
  std::map<std::string, std::string> out;
  size_t i = 0;
  auto skipSpace = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  while (true) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
    if (i >= s.size()) return out;
    const size_t start = i;
    while (i < s.size() && rtsp::IsTokenChar(s[i])) ++i;
    if (i == start) return std::nullopt;
    std::string name;
    for (char c : s.substr(start, i - start)) name.push_back(rtsp::AsciiLower(c));
    skipSpace();
    if (i >= s.size() || s[i] != '=') return std::nullopt;
    ++i;
    skipSpace();
    std::string value;
    if (i < s.size() && s[i] == '"') {
      ++i;
      bool closed = false;
      while (i < s.size() && value.size() <= rtsp::kMaxAuthParamLength) {
        char c = s[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (i >= s.size()) return std::nullopt;
          c = s[i++];
        }
        value.push_back(c);
      }
      if (!closed) return std::nullopt;
    } else {
      const size_t vs = i;
      while (i < s.size() && rtsp::IsTokenChar(s[i])) ++i;
      value = std::string(s.substr(vs, i - vs));
    }
    if (value.size() > rtsp::kMaxAuthParamLength || out.size() >= rtsp::kMaxAuthParams ||
        !out.emplace(std::move(name), std::move(value)).second)
      return std::nullopt;
    skipSpace();
    if (i < s.size() && s[i] != ',') return std::nullopt;
  }
}

// Compares without an early exit, so timing tells nothing about the answer.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned>(rtsp::AsciiLower(a[i]) ^ rtsp::AsciiLower(b[i]));
  return diff == 0;
}

struct DigestExpect {
  std::string_view user, password, realm, nonce, method, uri;
  uint32_t lastNonceCount = 0;  // an answer must count past it (no replays)
};

// An answer with MD5 to this connection's challenge: RFC 2617 with qop=auth
// (its nonce count must grow), or without qop as RFC 2617 keeps for older
// clients (MD5(HA1:nonce:HA2)), as many players send.
bool DigestMatches(std::string_view authorization, DigestExpect& e) {
  authorization = rtsp::TrimWhitespace(authorization);
  const size_t space = authorization.find(' ');
  if (space == std::string_view::npos ||
      !rtsp::EqualsIgnoreCase(authorization.substr(0, space), "Digest"))
    return false;
  auto params = ParseAuthParams(authorization.substr(space + 1));
  if (!params) return false;
  auto get = [&](const char* name) -> std::string {
    auto it = params->find(name);
    return it == params->end() ? std::string() : it->second;
  };
  const std::string algorithm = get("algorithm");
  if (!algorithm.empty() && !rtsp::EqualsIgnoreCase(algorithm, "MD5")) return false;
  const std::string nc = get("nc"), cnonce = get("cnonce"), response = get("response");
  const bool qop = params->contains("qop");
  if (response.size() != 32) return false;
  if (qop && (get("qop") != "auth" || nc.size() != 8 || cnonce.empty())) return false;
  uint32_t count = 0;
  for (char digit : nc) {
    const int v = rtsp::HexValue(digit);
    if (v < 0) return false;
    count = count << 4 | static_cast<uint32_t>(v);
  }
  if (qop && count <= e.lastNonceCount) return false;
  // The user is compared with the password's answer, so a wrong user costs
  // the same as a wrong password.
  const bool sameUser = get("username") == e.user;
  if (get("realm") != e.realm || get("nonce") != e.nonce || get("uri") != e.uri) return false;
  const std::string ha1 = rtsp::Md5Hex(std::string(e.user) + ":" + std::string(e.realm) + ":" +
                                       std::string(e.password));
  const std::string ha2 = rtsp::Md5Hex(std::string(e.method) + ":" + std::string(e.uri));
  if (ha1.empty() || ha2.empty()) return false;
  const std::string expected = qop ? rtsp::Md5Hex(ha1 + ":" + std::string(e.nonce) + ":" + nc +
                                                  ":" + cnonce + ":auth:" + ha2)
                                   : rtsp::Md5Hex(ha1 + ":" + std::string(e.nonce) + ":" + ha2);
  if (expected.empty() || !SameText(expected, response) || !sameUser) return false;
  if (qop) e.lastNonceCount = count;
  return true;
}

// The stream a request names, and whether it names its track. The host part
// of an absolute URL is ignored: it is the peer's text, not where we listen.
struct Target {
  int stream = 0;
  bool track = false;
};
std::optional<Target> ParseTarget(std::string_view uri) {
  if (rtsp::StartsWithIgnoreCase(uri, "rtsp://")) {
    uri.remove_prefix(7);
    const size_t slash = uri.find('/');
    uri = slash == std::string_view::npos ? std::string_view("/") : uri.substr(slash);
  }
  if (const size_t q = uri.find('?'); q != std::string_view::npos) uri = uri.substr(0, q);
  // Some players resolve the aggregate control "*" against the base.
  if (uri.ends_with("/*")) uri.remove_suffix(1);
  while (!uri.empty() && uri.back() == '/') uri.remove_suffix(1);
  Target t;
  constexpr std::string_view kTrack = "/trackID=1";
  if (uri.size() > kTrack.size() && uri.substr(uri.size() - kTrack.size()) == kTrack) {
    t.track = true;
    uri.remove_suffix(kTrack.size());
  }
  if (uri == "/stream0") {
    t.stream = 0;
  } else if (uri == "/stream1") {
    t.stream = 1;
  } else {
    return std::nullopt;
  }
  return t;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  while (true) {
    const size_t at = s.find(sep);
    out.push_back(rtsp::TrimWhitespace(s.substr(0, at)));
    if (at == std::string_view::npos) return out;
    s.remove_prefix(at + 1);
  }
}

struct Transport {
  bool udp = false;
  uint8_t channel = 0;      // TCP: the RTP channel, RTCP on the next
  uint16_t clientPort = 0;  // UDP: the client's RTP port, RTCP on the next
};

// The first transport offered that we serve: RTP/AVP/TCP (interleaved), or
// unicast RTP/AVP over UDP with a client port. A destination parameter is
// ignored: media only ever goes to the address the request came from.
std::optional<Transport> ChooseTransport(std::string_view header) {
  for (auto spec : Split(header, ',')) {
    auto params = Split(spec, ';');
    Transport t;
    if (rtsp::EqualsIgnoreCase(params[0], "RTP/AVP") ||
        rtsp::EqualsIgnoreCase(params[0], "RTP/AVP/UDP")) {
      t.udp = true;
    } else if (!rtsp::EqualsIgnoreCase(params[0], "RTP/AVP/TCP")) {
      continue;
    }
    bool usable = true;
    for (auto p : params) {
      if (rtsp::EqualsIgnoreCase(p, "multicast")) usable = false;
      if (!t.udp && rtsp::StartsWithIgnoreCase(p, "interleaved=")) {
        auto range = p.substr(12);
        auto first = rtsp::ParseDecimal(range.substr(0, range.find('-')), 3);
        if (!first || *first > 254) usable = false;
        t.channel = static_cast<uint8_t>(first.value_or(0));
      }
      if (t.udp && rtsp::StartsWithIgnoreCase(p, "client_port=")) {
        auto range = p.substr(12);
        auto first = rtsp::ParseDecimal(range.substr(0, range.find('-')), 5);
        if (first && *first > 0 && *first < 65535) t.clientPort = static_cast<uint16_t>(*first);
      }
    }
    if (usable && (!t.udp || t.clientPort != 0)) return t;
  }
  return std::nullopt;
}

}  // namespace

// One RTSP connection: requests in, answers and interleaved RTP out. Strand
// only, like the face that owns it.
class RtspConnection : public std::enable_shared_from_this<RtspConnection> {
 public:
  RtspConnection(RtspFace& face, RtspFace::Strand strand, asio::ip::tcp::socket socket,
                 std::weak_ptr<RtspHost> host)
      : face_(face),
        strand_(strand),
        socket_(std::move(socket)),
        host_(std::move(host)),
        tick_(strand),
        pause_(strand) {}

  void Start() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    nonce_ = RandomHex(16);
    if (nonce_.empty()) {
      Close();
      return;
    }
    lastRead_ = lastWrite_ = Clock::now();
    Read();
    ScheduleTick();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    CloseUdp();
    tick_.cancel();
    pause_.cancel();
    if (auto host = host_.lock()) {
      if (playing_) host->RecordRtsp([](Observations& o) { --o.rtspViewers; });
      face_.OnClosed(*this);
    }
  }

  void Resume() {
    if (closed_) return;
    Process();
    WriteNext();
  }

  bool Playing() const { return playing_ && !closed_; }

  void Deliver(const SourceFrame& frame, RtspHost& host) {
    if (!Playing() || closeAfterFlush_ || !frame.data || host.RtspMediaStopped()) return;
    MediaSource& source = host.RtspSource();
    if (host.Stalled()) {
      needKey_ = true;  // resume cleanly at an IDR once the stall ends
      return;
    }
    if (needKey_ && !frame.key) {
      if (fellBehind_) host.RecordRtsp([](Observations& o) { ++o.rtspFramesDropped; });
      return;
    }
    if (queued_ > kMaxQueuedMedia) {
      needKey_ = fellBehind_ = true;
      host.RecordRtsp([](Observations& o) { ++o.rtspFramesDropped; });
      if (!source.Replay()) source.RequestKeyFrame();
      return;
    }
    // A key frame carries the parameter sets in-band too, so a player that
    // ignores the SDP's still decodes.
    std::vector<uint8_t> accessUnit;
    std::span<const uint8_t> unit = *frame.data;
    if (frame.key) {
      bool hasSps = false;
      for (auto nal : rtsp::SplitAnnexB(unit)) {
        hasSps |= source.H265() ? rtsp::H265NalType(nal[0]) == rtsp::kH265Sps
                                : rtsp::NalType(nal[0]) == rtsp::kNalSps;
      }
      if (!hasSps) {
        accessUnit = source.Header();
        accessUnit.insert(accessUnit.end(), unit.begin(), unit.end());
        unit = accessUnit;
      }
    }
    std::vector<std::vector<uint8_t>> packets;
    if (!packetizer_->Packetize(unit, Timestamp(frame.number, source), packets)) return;
    // Counted before the socket has it: a viewer may have the frame, close,
    // and read the count before this strand would get back to it.
    const size_t size = frame.data->size();
    host.RecordRtsp([size](Observations& o) {
      ++o.rtspFramesSent;
      o.rtspBytes += size;
    });
    auto uncount = [&host, size] {
      host.RecordRtsp([size](Observations& o) {
        --o.rtspFramesSent;
        o.rtspBytes -= size;
        ++o.rtspFramesDropped;
      });
    };
    needKey_ = fellBehind_ = false;
    if (rtp_) {
      // A datagram the socket cannot take now is lost, as on any network;
      // the viewer then waits for the next IDR.
      for (const auto& p : packets) {
        asio::error_code ec;
        rtp_->send_to(asio::buffer(p), udpPeer_, 0, ec);
        if (ec) {
          needKey_ = fellBehind_ = true;
          uncount();
          if (!source.Replay()) source.RequestKeyFrame();
          return;
        }
      }
    } else {
      std::vector<uint8_t> bytes;
      for (const auto& p : packets) rtsp::AppendInterleaved(bytes, channel_, p);
      Queue(std::move(bytes));
      if (closed_) uncount();  // cut for not reading: the frame never left
    }
  }

 private:
  uint32_t Timestamp(uint64_t frameNumber, MediaSource& source) const {
    const auto fps = static_cast<uint64_t>(source.Settings().fps);
    return timestampBase_ + static_cast<uint32_t>(frameNumber * kClockRate / fps);
  }

  void Read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            asio::bind_executor(strand_, [self = shared_from_this()](
                                                             const asio::error_code& ec, size_t n) {
                              self->OnRead(ec, n);
                            }));
  }

  void OnRead(const asio::error_code& ec, size_t n) {
    if (closed_) return;
    if (ec) {
      Close();
      return;
    }
    if (in_.empty()) partialSince_ = Clock::now();
    lastRead_ = Clock::now();
    in_.insert(in_.end(), buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(n));
    Process();
    if (closed_) return;
    if (in_.size() > kMaxInput) {
      Close();
      return;
    }
    Read();
  }

  // Answers every whole request buffered; while the device stalls they wait.
  void Process() {
    auto host = host_.lock();
    if (!host) return;
    while (!closed_ && !closeAfterFlush_ && !in_.empty() && !host->Stalled()) {
      auto item = rtsp::SplitInterleaved(in_);
      if (item.kind == rtsp::InterleavedKind::kNeedMore) return;
      if (item.kind == rtsp::InterleavedKind::kError) {
        Close();
        return;
      }
      if (item.kind == rtsp::InterleavedKind::kRequest) Handle(item.request, *host);
      // RTCP reports and stray responses need no answer.
      in_.erase(in_.begin(), in_.begin() + static_cast<ptrdiff_t>(item.consumed));
      partialSince_ = Clock::now();
    }
  }

  void Answer(int status, std::string_view reason, uint32_t cseq,
              std::vector<rtsp::Header> headers = {}, std::string_view body = {}) {
    auto bytes = rtsp::BuildRtspResponse(status, reason, cseq, headers, body);
    if (!bytes) {
      Close();
      return;
    }
    Queue(std::vector<uint8_t>(bytes->begin(), bytes->end()));
  }

  std::string BaseUrl(int stream) const {
    const auto& c = face_.config();
    return "rtsp://" + c.address + ":" + std::to_string(c.rtspPort) + "/stream" +
           std::to_string(stream) + "/";
  }

  std::string Realm() const { return face_.config().model; }

  void Handle(const rtsp::Request& request, RtspHost& host) {
    const auto cseq = request.cseq();
    if (!cseq) {
      Answer(400, "Bad Request", 0);
      CloseAfterFlush();
      return;
    }
    if (request.protocol != "RTSP/1.0") {
      Answer(505, "RTSP Version Not Supported", *cseq);
      return;
    }
    const std::string& method = request.method;
    if (method == "OPTIONS") {
      Answer(200, "OK", *cseq, {{"Public", kPublic}});
      return;
    }
    if (method != "DESCRIBE" && method != "SETUP" && method != "PLAY" && method != "PAUSE" &&
        method != "GET_PARAMETER" && method != "TEARDOWN") {
      Answer(501, "Not Implemented", *cseq, {{"Public", kPublic}});
      return;
    }
    if (!Authorized(request, host)) {
      const std::string challenge =
          "Digest realm=\"" + Realm() + "\", nonce=\"" + nonce_ + "\", algorithm=MD5, qop=\"auth\"";
      Answer(401, "Unauthorized", *cseq, {{"WWW-Authenticate", challenge}});
      if (authFailures_ >= kMaxAuthFailures) CloseAfterFlush();
      return;
    }
    const auto target = ParseTarget(request.uri);
    if (!target && method != "GET_PARAMETER") {
      Answer(404, "Not Found", *cseq);
      return;
    }
    // A request for a session other than ours.
    const auto sessionHeader = request.headers.Find("Session");
    if (sessionHeader && (session_.empty() || sessionHeader->substr(0, sessionHeader->find(';')) !=
                                                  std::string_view(session_))) {
      Answer(454, "Session Not Found", *cseq);
      return;
    }
    if (method == "DESCRIBE") {
      Describe(*target, *cseq, host);
    } else if (method == "SETUP") {
      Setup(request, *target, *cseq, host);
    } else if (method == "PLAY") {
      Play(*target, *cseq, host);
    } else if (method == "PAUSE") {
      if (session_.empty()) return Answer(455, "Method Not Valid in This State", *cseq);
      if (playing_) host.RecordRtsp([](Observations& o) { --o.rtspViewers; });
      playing_ = false;
      Answer(200, "OK", *cseq, {{"Session", SessionValue()}});
    } else if (method == "TEARDOWN") {
      Answer(200, "OK", *cseq);
      CloseAfterFlush();
    } else {  // GET_PARAMETER: a keep-alive
      std::vector<rtsp::Header> headers;
      if (!session_.empty()) headers.push_back({"Session", SessionValue()});
      Answer(200, "OK", *cseq, headers);
    }
  }

  bool Authorized(const rtsp::Request& request, RtspHost& host) {
    const auto answer = request.headers.Find("Authorization");
    if (!answer) return false;
    const auto& c = face_.config();
    const std::string realm = Realm();
    DigestExpect expect{c.user,         c.password,  realm,      nonce_,
                        request.method, request.uri, nonceCount_};
    const bool ok = !host.RtspRefusesLogins() && DigestMatches(*answer, expect);
    nonceCount_ = expect.lastNonceCount;
    if (!ok) {
      ++authFailures_;
      host.RecordRtsp([](Observations& o) { ++o.rtspRefused; });
    }
    return ok;
  }

  std::string SessionValue() const {
    return session_ + ";timeout=" + std::to_string(kSessionTimeoutSeconds);
  }

  void Describe(Target target, uint32_t cseq, RtspHost& host) {
    MediaSource& source = host.RtspSource();
    const auto& c = face_.config();
    std::string media;
    if (source.H265()) {
      // RFC 7798 7.1: the parameter sets, one of each, no decoding-order
      // numbers (sprop-max-don-diff absent).
      std::span<const uint8_t> sets[3];
      for (auto nal : rtsp::SplitAnnexB(source.Header())) {
        const uint8_t type = rtsp::H265NalType(nal[0]);
        if (type >= rtsp::kH265Vps && type <= rtsp::kH265Pps && sets[type - rtsp::kH265Vps].empty())
          sets[type - rtsp::kH265Vps] = nal;
      }
      if (sets[0].empty() || sets[1].empty() || sets[2].empty()) {
        Answer(503, "Service Unavailable", cseq);
        return;
      }
      media = "a=rtpmap:96 H265/90000\r\na=fmtp:96 sprop-vps=" + proto::Base64Encode(sets[0]) +
              ";sprop-sps=" + proto::Base64Encode(sets[1]) +
              ";sprop-pps=" + proto::Base64Encode(sets[2]) + "\r\n";
    } else {
      std::span<const uint8_t> sps, pps;
      for (auto nal : rtsp::SplitAnnexB(source.Header())) {
        if (rtsp::NalType(nal[0]) == rtsp::kNalSps && sps.empty()) sps = nal;
        if (rtsp::NalType(nal[0]) == rtsp::kNalPps && pps.empty()) pps = nal;
      }
      if (sps.size() < 4 || pps.empty()) {
        Answer(503, "Service Unavailable", cseq);
        return;
      }
      char profile[8];
      std::snprintf(profile, sizeof profile, "%02x%02x%02x", sps[1], sps[2], sps[3]);
      media = std::string("a=rtpmap:96 H264/90000\r\n") +
              "a=fmtp:96 packetization-mode=1;profile-level-id=" + profile +
              ";sprop-parameter-sets=" + proto::Base64Encode(sps) + "," + proto::Base64Encode(pps) +
              "\r\n";
    }
    const std::string sdp =
        "v=0\r\n"
        "o=- " +
        std::to_string(RandomU32()) + " 1 IN IP4 " + c.address +
        "\r\n"
        "s=stream" +
        std::to_string(target.stream) +
        "\r\n"
        "c=IN IP4 0.0.0.0\r\n"
        "t=0 0\r\n"
        "a=control:*\r\n"
        "a=range:npt=0-\r\n"
        "m=video 0 RTP/AVP 96\r\n" +
        media + "a=control:trackID=1\r\n";
    Answer(200, "OK", cseq,
           {{"Content-Base", BaseUrl(target.stream)}, {"Content-Type", "application/sdp"}}, sdp);
  }

  void Setup(const rtsp::Request& request, Target target, uint32_t cseq, RtspHost& host) {
    if (playing_) return Answer(455, "Method Not Valid in This State", cseq);
    const auto transport = request.headers.Find("Transport");
    const auto chosen = transport ? ChooseTransport(*transport) : std::nullopt;
    if (!chosen) return Answer(461, "Unsupported Transport", cseq);
    CloseUdp();
    if (chosen->udp && !OpenUdp(chosen->clientPort))
      return Answer(503, "Service Unavailable", cseq);
    if (session_.empty()) {
      session_ = RandomHex(8);
      rtsp::H264PacketizerOptions options;
      options.payloadType = kPayloadType;
      options.ssrc = RandomU32();
      options.firstSequence = static_cast<uint16_t>(RandomU32());
      if (host.RtspSource().H265()) options.codec = rtsp::VideoCodec::kH265;
      ssrc_ = options.ssrc;
      timestampBase_ = RandomU32();
      packetizer_.emplace(options);
      if (session_.empty()) return Answer(500, "Internal Server Error", cseq);
    }
    channel_ = chosen->channel;
    stream_ = target.stream;
    char ssrc[9];
    std::snprintf(ssrc, sizeof ssrc, "%08X", ssrc_);
    std::string value;
    if (rtp_) {
      const auto port = rtp_->local_endpoint().port();
      value = "RTP/AVP;unicast;client_port=" + std::to_string(chosen->clientPort) + "-" +
              std::to_string(chosen->clientPort + 1) + ";server_port=" + std::to_string(port) +
              "-" + std::to_string(port + 1) + ";source=" + face_.config().address;
    } else {
      value = "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(channel_) + "-" +
              std::to_string(channel_ + 1);
    }
    value += ";ssrc=" + std::string(ssrc);
    Answer(200, "OK", cseq, {{"Transport", value}, {"Session", SessionValue()}});
  }

  // Binds an even RTP port and the RTCP port after it on the device's own
  // address, so media comes from where the device lives.
  bool OpenUdp(uint16_t clientPort) {
    asio::error_code ec;
    const auto peer = socket_.remote_endpoint(ec);
    const auto address = asio::ip::make_address_v4(face_.config().address, ec);
    if (ec) return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
      CloseUdp();
      rtp_.emplace(strand_);
      rtcp_.emplace(strand_);
      rtp_->open(asio::ip::udp::v4(), ec);
      if (!ec) rtp_->bind({address, 0}, ec);
      if (ec) break;
      const uint16_t port = rtp_->local_endpoint().port();
      if (port % 2 != 0 || port == 65535) continue;
      rtcp_->open(asio::ip::udp::v4(), ec);
      if (!ec) rtcp_->bind({address, static_cast<uint16_t>(port + 1)}, ec);
      if (ec) continue;
      rtp_->non_blocking(true, ec);
      if (ec) break;
      udpPeer_ = asio::ip::udp::endpoint(peer.address(), clientPort);
      return true;
    }
    CloseUdp();
    return false;
  }

  void CloseUdp() {
    asio::error_code ignored;
    if (rtp_) rtp_->close(ignored);
    if (rtcp_) rtcp_->close(ignored);
    rtp_.reset();
    rtcp_.reset();
  }

  void Play(Target, uint32_t cseq, RtspHost& host) {
    if (session_.empty()) return Answer(455, "Method Not Valid in This State", cseq);
    MediaSource& source = host.RtspSource();
    const auto replayed = source.Replay() ? source.FramesSinceKey() : std::vector<SourceFrame>{};
    const uint64_t first = replayed.empty() ? source.FrameNumber() : replayed.front().number;
    const std::string info = "url=" + BaseUrl(stream_) +
                             "trackID=1;seq=" + std::to_string(packetizer_->nextSequence()) +
                             ";rtptime=" + std::to_string(Timestamp(first, source));
    Answer(200, "OK", cseq,
           {{"Session", SessionValue()}, {"Range", "npt=0.000-"}, {"RTP-Info", info}});
    if (playing_) return;
    playing_ = true;
    needKey_ = true;
    fellBehind_ = false;
    host.RecordRtsp([](Observations& o) { ++o.rtspViewers; });
    // As a device-protocol viewer: at once from the replay GOP's IDR, or
    // from the next IDR the encoder makes.
    for (const auto& frame : replayed) Deliver(frame, host);
    if (!source.Replay()) source.RequestKeyFrame();
  }

  void Queue(std::vector<uint8_t> bytes) {
    if (closed_ || bytes.empty()) return;
    if (queue_.empty()) lastWrite_ = Clock::now();
    queued_ += bytes.size();
    queue_.push_back(std::move(bytes));
    if (queued_ > kMaxQueued) {
      Close();
      return;
    }
    WriteNext();
  }

  void CloseAfterFlush() {
    closeAfterFlush_ = true;
    if (queue_.empty() && !writing_) Close();
  }

  void WriteNext() {
    if (closed_ || writing_ || pausing_ || queue_.empty()) return;
    if (auto host = host_.lock(); !host || host->Stalled()) return;
    gather_.clear();
    for (size_t i = 0; i < queue_.size() && i < 64; ++i) gather_.push_back(asio::buffer(queue_[i]));
    writing_ = true;
    asio::async_write(
        socket_, gather_,
        asio::bind_executor(
            strand_, [self = shared_from_this(), count = gather_.size()](
                         const asio::error_code& ec, size_t n) { self->OnWritten(ec, n, count); }));
  }

  void OnWritten(const asio::error_code& ec, size_t n, size_t count) {
    writing_ = false;
    if (closed_) return;
    if (ec) {
      Close();
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      queued_ -= queue_.front().size();
      queue_.pop_front();
    }
    lastWrite_ = Clock::now();
    if (closeAfterFlush_ && queue_.empty()) {
      Close();
      return;
    }
    auto host = host_.lock();
    const uint64_t rate = host ? host->ThrottleBytesPerSecond() : 0;
    if (rate == 0) {
      WriteNext();
      return;
    }
    // Throttled: wait as long as these bytes take at the allowed rate.
    pausing_ = true;
    pause_.expires_after(std::chrono::microseconds(n * 1000000 / rate));
    pause_.async_wait(
        asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code&) {
          self->pausing_ = false;
          self->WriteNext();
        }));
  }

  void ScheduleTick() {
    tick_.expires_after(1s);
    tick_.async_wait(
        asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& ec) {
          if (ec || self->closed_) return;
          self->CheckDeadlines();
          if (!self->closed_) self->ScheduleTick();
        }));
  }

  void CheckDeadlines() {
    const auto now = Clock::now();
    auto host = host_.lock();
    const bool stalled = !host || host->Stalled();
    const bool partial = !in_.empty() && !stalled;
    if ((partial && now - partialSince_ > kRequestTime) ||
        now - lastRead_ > (playing_ ? kIdlePlaying : kIdleTime) ||
        (!stalled && !queue_.empty() && now - lastWrite_ > kWriteStallTime))
      Close();
  }

  RtspFace& face_;  // used only while the host (its owner) is alive
  RtspFace::Strand strand_;
  asio::ip::tcp::socket socket_;
  std::weak_ptr<RtspHost> host_;
  asio::steady_timer tick_;
  asio::steady_timer pause_;
  std::array<uint8_t, kReadChunk> buffer_{};
  std::vector<uint8_t> in_;
  std::deque<std::vector<uint8_t>> queue_;
  std::vector<asio::const_buffer> gather_;
  size_t queued_ = 0;
  bool writing_ = false;
  bool pausing_ = false;
  bool closeAfterFlush_ = false;
  bool closed_ = false;
  Clock::time_point lastRead_, lastWrite_, partialSince_;
  std::string nonce_;
  int authFailures_ = 0;
  uint32_t nonceCount_ = 0;  // highest nc accepted with nonce_
  std::string session_;      // empty until SETUP
  std::optional<rtsp::H264Packetizer> packetizer_;
  uint32_t ssrc_ = 0;
  uint32_t timestampBase_ = 0;
  uint8_t channel_ = 0;
  // UDP transport: the sockets media leaves from (RTCP received and dropped
  // by the kernel), and the peer's own address with its RTP port.
  std::optional<asio::ip::udp::socket> rtp_, rtcp_;
  asio::ip::udp::endpoint udpPeer_;
  int stream_ = 0;
  bool playing_ = false;
  bool needKey_ = true;
  bool fellBehind_ = false;
};

RtspFace::RtspFace(Strand strand, const DeviceConfig& config, std::weak_ptr<RtspHost> host)
    : strand_(strand),
      config_(config),
      host_(std::move(host)),
      acceptor_(strand),
      acceptRetry_(strand) {}

RtspFace::~RtspFace() = default;

bool RtspFace::Listen(std::string* error) {
  if (!enabled()) return true;
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(config_.address, ec);
  if (!ec) acceptor_.open(asio::ip::tcp::v4(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind({address, config_.rtspPort}, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    if (error)
      *error =
          "cannot listen on RTSP port " + std::to_string(config_.rtspPort) + ": " + ec.message();
    asio::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  return true;
}

void RtspFace::BeginServing() {
  if (acceptor_.is_open()) Accept(generation_);
}

void RtspFace::Accept(uint64_t generation) {
  acceptor_.async_accept(asio::bind_executor(strand_, [this, host = host_.lock(), generation](
                                                          const asio::error_code& error,
                                                          asio::ip::tcp::socket socket) {
    if (!host || generation != generation_ || !acceptor_.is_open()) return;
    if (!error && connections_.size() >= kMaxViewerConnections) {
      asio::error_code ignored;
      socket.close(ignored);
    } else if (!error) {
      auto connection = std::make_shared<RtspConnection>(*this, strand_, std::move(socket), host_);
      connections_.push_back(connection);
      host->RecordRtsp([](Observations& o) { ++o.rtspConnections; });
      connection->Start();
    }
    if (!error) {
      Accept(generation);
      return;
    }
    // Out of descriptors, say: try again shortly instead of spinning.
    acceptRetry_.expires_after(100ms);
    acceptRetry_.async_wait(
        asio::bind_executor(strand_, [this, host, generation](const asio::error_code& e) {
          if (!e && generation == generation_ && acceptor_.is_open()) Accept(generation);
        }));
  }));
}

void RtspFace::StopServing() {
  ++generation_;
  acceptRetry_.cancel();
  asio::error_code ignored;
  acceptor_.close(ignored);
  CloseConnections();
}

void RtspFace::CloseConnections() {
  // Close() calls OnClosed, which edits connections_: work on a copy.
  auto connections = connections_;
  for (auto& c : connections) c->Close();
  connections_.clear();
}

void RtspFace::Resume() {
  auto connections = connections_;
  for (auto& c : connections) c->Resume();
}

bool RtspFace::HasViewers() const {
  for (const auto& c : connections_)
    if (c->Playing()) return true;
  return false;
}

void RtspFace::Deliver(const SourceFrame& frame) {
  auto host = host_.lock();
  if (!host) return;
  auto connections = connections_;  // sending may close one
  for (auto& c : connections) c->Deliver(frame, *host);
}

void RtspFace::OnClosed(RtspConnection& connection) {
  std::erase_if(connections_, [&](const auto& c) { return c.get() == &connection; });
}

}  // namespace qrv::sim
