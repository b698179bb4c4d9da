// The RTSP face of simulated devices: ffprobe (a player nobody here wrote)
// decodes it over TCP, a raw RTSP exchange covers Digest, the session
// methods, the interleaved RTP, the header bound and the faults that close
// connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

#include "tests/simulator/sim_fixture.h"
#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/interleaved.h"
#include "tmcc/rtsp/codec/rtp.h"
#include "tmcc/rtsp/codec/sdp.h"

namespace qrv::sim::test {
namespace {

namespace rtsp = tmcc::rtsp;
using namespace std::chrono_literals;

// An unprivileged port on this process's own loopback addresses; the
// standard port 554 only in a network namespace of its own (see
// CMakeLists.txt), chosen through QRV_TEST_RTSP_PORT.
uint16_t TestRtspPort() {
  const char* text = std::getenv("QRV_TEST_RTSP_PORT");
  const int port = text ? std::atoi(text) : 0;
  return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 8554;
}
const uint16_t kRtspPort = TestRtspPort();

// A blocking RTSP client over a plain socket; every read is bounded by a
// receive timeout, so a silent server fails the test instead of hanging it.
class RawRtsp {
 public:
  RawRtsp(const std::string& address, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~RawRtsp() { close(fd_); }

  bool connected() const { return connected_; }
  void SetReadTimeout(std::chrono::milliseconds t) {
    timeval timeout{static_cast<time_t>(t.count() / 1000),
                    static_cast<suseconds_t>(t.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  const std::string& lastAuthorization() const { return lastAuthorization_; }
  int fd() const { return fd_; }

  bool SendText(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Sends a request with the Authorization the last challenge asks for.
  std::optional<rtsp::Response> Request(const std::string& method, const std::string& uri,
                                        std::vector<rtsp::Header> headers = {}) {
    if (auth_) {
      if (auto value = auth_->Authorization(method, uri)) {
        headers.push_back({"Authorization", *value});
        lastAuthorization_ = *value;
      }
    }
    return RequestAsIs(method, uri, headers);
  }

  // Sends the request with exactly these headers.
  std::optional<rtsp::Response> RequestAsIs(const std::string& method, const std::string& uri,
                                            const std::vector<rtsp::Header>& headers) {
    auto text = rtsp::BuildRtspRequest({method, uri, headers, {}}, ++cseq_);
    if (!text || !SendText(*text)) return std::nullopt;
    return ReadResponse();
  }

  // Takes the challenges of a 401; false when none can be answered.
  bool Challenge(const rtsp::Response& r, const std::string& user, const std::string& password) {
    if (!auth_) auth_.emplace(user, password, false);
    auto values = r.headers.FindAll("WWW-Authenticate");
    return auth_->OnChallenge(values) == rtsp::Authenticator::Verdict::kRetry;
  }

  std::optional<rtsp::Response> ReadResponse() {
    while (true) {
      auto item = rtsp::SplitInterleaved(in_);
      if (item.kind == rtsp::InterleavedKind::kResponse) {
        auto response = std::move(item.response);
        Consume(item.consumed);
        return response;
      }
      if (item.kind == rtsp::InterleavedKind::kPacket) {
        packets_.emplace_back(item.channel,
                              std::vector<uint8_t>(item.packet.begin(), item.packet.end()));
        Consume(item.consumed);
        continue;
      }
      if (item.kind != rtsp::InterleavedKind::kNeedMore || !Receive()) return std::nullopt;
    }
  }

  // The next interleaved packet and its channel; false at the end or after
  // the receive timeout.
  bool ReadPacket(uint8_t& channel, std::vector<uint8_t>& packet) {
    while (packets_.empty()) {
      auto item = rtsp::SplitInterleaved(in_);
      if (item.kind == rtsp::InterleavedKind::kPacket) {
        packets_.emplace_back(item.channel,
                              std::vector<uint8_t>(item.packet.begin(), item.packet.end()));
        Consume(item.consumed);
      } else if (item.kind != rtsp::InterleavedKind::kNeedMore || !Receive()) {
        return false;
      }
    }
    channel = packets_.front().first;
    packet = std::move(packets_.front().second);
    packets_.pop_front();
    return true;
  }

  // Whether the server closes the connection within the bound (media still
  // arriving is read and dropped meanwhile).
  bool ClosedWithin(std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
    return false;
  }

 private:
  bool Receive() {
    uint8_t buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in_.insert(in_.end(), buffer, buffer + n);
    return true;
  }
  void Consume(size_t n) { in_.erase(in_.begin(), in_.begin() + static_cast<ptrdiff_t>(n)); }

  int fd_ = -1;
  bool connected_ = false;
  uint32_t cseq_ = 0;
  std::vector<uint8_t> in_;
  std::deque<std::pair<uint8_t, std::vector<uint8_t>>> packets_;
  std::optional<rtsp::Authenticator> auth_;
  std::string lastAuthorization_;
};

class RtspFaceTest : public SimulatorTest {
 protected:
  Device& AddRtsp(int index) {
    DeviceConfig c = SmallDevice(index);
    c.rtspPort = kRtspPort;
    return Add(c);
  }

  static std::string Url(const Device& d, const std::string& path) {
    return "rtsp://" + d.Config().address + ":" + std::to_string(kRtspPort) + path;
  }

  // DESCRIBE, answered after its 401 with the given password.
  static std::optional<rtsp::Response> Describe(RawRtsp& c, const Device& d,
                                                const std::string& password) {
    auto first = c.Request("DESCRIBE", Url(d, "/stream0"));
    if (!first || first->status != 401) return first;
    if (!c.Challenge(*first, d.Config().user, password)) return std::nullopt;
    return c.Request("DESCRIBE", Url(d, "/stream0"));
  }

  // DESCRIBE, SETUP and PLAY with the device's own credentials; the PLAY
  // response, or nothing when a step failed.
  static std::optional<rtsp::Response> Play(RawRtsp& c, const Device& d, std::string* session) {
    auto describe = Describe(c, d, d.Config().password);
    if (!describe || describe->status != 200) return std::nullopt;
    auto setup = c.Request("SETUP", Url(d, "/stream0/trackID=1"),
                           {{"Transport", "RTP/AVP/TCP;unicast;interleaved=0-1"}});
    if (!setup || setup->status != 200) return std::nullopt;
    auto value = setup->headers.Find("Session");
    if (!value) return std::nullopt;
    *session = std::string(value->substr(0, value->find(';')));
    return c.Request("PLAY", Url(d, "/stream0"), {{"Session", *session}});
  }
};

// ffprobe over TCP: "codec,width,height,frames", or empty when it failed
// (its messages then go to *errors).
std::string Probe(const std::string& url, std::string* errors,
                  const std::string& transport = "tcp") {
  const std::string command =
      "timeout 30 ffprobe -v error -rtsp_transport " + transport +
      " -count_frames -read_intervals %+#10 "
      "-select_streams v:0 -show_entries stream=codec_name,width,height,nb_read_frames "
      "-of csv=p=0 '" +
      url + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string out;
  char line[512];
  while (fgets(line, sizeof line, pipe)) out += line;
  const int status = pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (status != 0) {
    *errors = out;
    return {};
  }
  return out;
}

TEST_F(RtspFaceTest, FfprobeDecodesBothPathsAndAWrongPasswordGetsNoStream) {
  DeviceConfig config = SmallDevice(1);
  config.rtspPort = kRtspPort;
  std::string why;
  Device* added = sim_.AddDevice(config, &why);
  if (!added && kRtspPort < 1024) GTEST_SKIP() << "no network namespace for port 554: " << why;
  ASSERT_NE(added, nullptr) << why;
  Device& device = *added;
  const auto& c = device.Config();
  const std::string auth = c.user + ":" + c.password + "@";
  // The standard port is left out of the URL, as users write it.
  const std::string host =
      kRtspPort == 554 ? c.address : c.address + ":" + std::to_string(kRtspPort);
  const std::string base = "rtsp://" + auth + host;
  for (const char* path : {"/stream0", "/stream1"}) {
    std::string errors;
    EXPECT_EQ(Probe(base + path, &errors), "h264,320,180,10") << path << ": " << errors;
  }
  std::string udpErrors;
  EXPECT_EQ(Probe(base + "/stream0", &udpErrors, "udp"), "h264,320,180,10") << udpErrors;
  EXPECT_TRUE(device.WaitFor([](const Observations& o) { return o.rtspViewers == 0; }, 5s));
  const auto sent = device.Observe().rtspFramesSent;
  EXPECT_GE(sent, 30u);

  std::string errors;
  const std::string wrong = "rtsp://" + c.user + ":wrong@" + host + "/stream0";
  EXPECT_EQ(Probe(wrong, &errors), "");
  EXPECT_NE(errors.find("401"), std::string::npos) << errors;
  const auto o = device.Observe();
  EXPECT_GE(o.rtspRefused, 1u);
  EXPECT_EQ(o.rtspFramesSent, sent);
  EXPECT_EQ(o.rtspViewers, 0u);
  // The run's summary counts what RTSP viewers were sent.
  const std::string summary = qrv::sim::SummaryLine({o});
  EXPECT_NE(summary.find(" " + std::to_string(sent) + " frame(s)"), std::string::npos) << summary;
}

TEST_F(RtspFaceTest, ConfigurationsTheFaceCannotServeAreRefused) {
  DeviceConfig sharedPort = SmallDevice(9);
  sharedPort.rtspPort = sharedPort.streamPort;
  DeviceConfig notH264 = SmallDevice(9);
  notH264.rtspPort = kRtspPort;
  notH264.h265NalHeaders = true;
  for (const auto* config : {&sharedPort, &notH264}) {
    std::string why;
    EXPECT_EQ(sim_.AddDevice(*config, &why), nullptr);
    EXPECT_NE(why.find("RTSP"), std::string::npos) << why;
  }
  EXPECT_EQ(sim_.DeviceCount(), 0u);
}

TEST_F(RtspFaceTest, DigestDescribeSetupPlayDeliversH264OverInterleavedRtp) {
  Device& device = AddRtsp(2);
  RawRtsp c(device.Config().address, kRtspPort);
  ASSERT_TRUE(c.connected());

  auto options = c.Request("OPTIONS", Url(device, "/stream0"));
  ASSERT_TRUE(options);
  EXPECT_EQ(options->status, 200) << "OPTIONS needs no credentials";
  EXPECT_NE(options->headers.Find("Public")->find("DESCRIBE"), std::string_view::npos);

  auto challenge = c.Request("DESCRIBE", Url(device, "/stream0"));
  ASSERT_TRUE(challenge);
  ASSERT_EQ(challenge->status, 401);
  auto parsed = rtsp::ParseChallenges(*challenge->headers.Find("WWW-Authenticate"));
  ASSERT_TRUE(parsed.ok());
  ASSERT_EQ(parsed.challenges.size(), 1u);
  EXPECT_EQ(parsed.challenges[0].scheme, rtsp::AuthScheme::kDigest);
  EXPECT_TRUE(parsed.challenges[0].qopAuth);
  EXPECT_EQ(parsed.challenges[0].algorithm, rtsp::DigestAlgorithm::kMd5);
  ASSERT_TRUE(c.Challenge(*challenge, device.Config().user, device.Config().password));

  auto describe = c.Request("DESCRIBE", Url(device, "/stream0"));
  ASSERT_TRUE(describe);
  ASSERT_EQ(describe->status, 200);
  EXPECT_EQ(describe->headers.Find("Content-Type"), "application/sdp");
  EXPECT_EQ(describe->headers.Find("Content-Base"), Url(device, "/stream0/"));
  EXPECT_NE(describe->body.find("m=video 0 RTP/AVP 96\r\n"), std::string::npos);
  EXPECT_NE(describe->body.find("a=rtpmap:96 H264/90000\r\n"), std::string::npos);
  auto sdp = rtsp::ParseSdp(describe->body, rtsp::DescribeBaseUrl(*describe, Url(device, "/")));
  ASSERT_TRUE(sdp.ok());
  ASSERT_EQ(sdp.description.videoTracks.size(), 1u);
  const auto& track = sdp.description.videoTracks[0];
  EXPECT_EQ(track.control, Url(device, "/stream0/trackID=1"));
  EXPECT_EQ(track.packetizationMode, 1);
  ASSERT_EQ(track.parameterSets.size(), 2u);
  EXPECT_EQ(rtsp::NalType(track.parameterSets[0][0]), rtsp::kNalSps);
  EXPECT_EQ(rtsp::NalType(track.parameterSets[1][0]), rtsp::kNalPps);
  ASSERT_TRUE(track.profileLevelId);
  EXPECT_EQ(*track.profileLevelId >> 16, track.parameterSets[0][1]) << "profile_idc of the SPS";

  // Multicast is not served: refused, the session unchanged.
  auto multicast = c.Request("SETUP", track.control, {{"Transport", "RTP/AVP;multicast"}});
  ASSERT_TRUE(multicast);
  EXPECT_EQ(multicast->status, 461);
  auto setup =
      c.Request("SETUP", track.control, {{"Transport", "RTP/AVP/TCP;unicast;interleaved=4-5"}});
  ASSERT_TRUE(setup);
  ASSERT_EQ(setup->status, 200);
  EXPECT_EQ(setup->headers.Find("Transport")->substr(0, 36),
            "RTP/AVP/TCP;unicast;interleaved=4-5;");
  const std::string sessionValue(*setup->headers.Find("Session"));
  ASSERT_NE(sessionValue.find(";timeout=60"), std::string::npos) << sessionValue;
  const std::string session = sessionValue.substr(0, sessionValue.find(';'));

  auto stranger = c.Request("PLAY", sdp.description.control, {{"Session", "not-ours"}});
  ASSERT_TRUE(stranger);
  EXPECT_EQ(stranger->status, 454);
  auto play = c.Request("PLAY", sdp.description.control, {{"Session", session}});
  ASSERT_TRUE(play);
  ASSERT_EQ(play->status, 200);
  const std::string info(*play->headers.Find("RTP-Info"));
  EXPECT_EQ(info.rfind("url=" + track.control + ";seq=", 0), 0u) << info;

  // Whole access units: the first starts with the parameter sets, then the
  // IDR; the marker ends each; one SSRC, no sequence gap, 90 kHz at 25 fps.
  uint8_t channel = 0;
  std::vector<uint8_t> packet;
  std::optional<rtsp::RtpHeader> previous;
  std::vector<uint8_t> firstNals;
  int units = 0;
  while (units < 5 && c.ReadPacket(channel, packet)) {
    ASSERT_EQ(channel, 4);
    auto rtp = rtsp::ParseRtp(packet);
    ASSERT_TRUE(rtp.ok());
    const auto& h = rtp.packet.header;
    EXPECT_EQ(h.payloadType, 96);
    if (!previous) {
      EXPECT_NE(info.find(";seq=" + std::to_string(h.sequence) + ";"), std::string::npos) << info;
    } else {
      EXPECT_EQ(h.ssrc, previous->ssrc);
      EXPECT_EQ(h.sequence, uint16_t(previous->sequence + 1));
      if (previous->marker) {
        EXPECT_EQ(uint32_t(h.timestamp - previous->timestamp) % 3600, 0u);
      } else {
        EXPECT_EQ(h.timestamp, previous->timestamp);
      }
    }
    if (units == 0 && !rtp.packet.payload.empty())
      firstNals.push_back(rtsp::NalType(rtp.packet.payload[0]));
    previous = h;
    if (h.marker) ++units;
  }
  ASSERT_EQ(units, 5);
  ASSERT_FALSE(firstNals.empty());
  EXPECT_TRUE(firstNals[0] == rtsp::kNalStapA || firstNals[0] == rtsp::kNalSps);
  EXPECT_TRUE(device.WaitFor([](const Observations& o) { return o.rtspViewers == 1; }, 5s));

  auto keepAlive = c.Request("GET_PARAMETER", sdp.description.control, {{"Session", session}});
  ASSERT_TRUE(keepAlive);
  EXPECT_EQ(keepAlive->status, 200);
  auto teardown = c.Request("TEARDOWN", sdp.description.control, {{"Session", session}});
  ASSERT_TRUE(teardown);
  EXPECT_EQ(teardown->status, 200);
  EXPECT_TRUE(c.ClosedWithin(5s));
  EXPECT_TRUE(device.WaitFor([](const Observations& o) { return o.rtspViewers == 0; }, 5s));
}

TEST_F(RtspFaceTest, WrongAnswersAreRefusedAndNeverStream) {
  Device& device = AddRtsp(3);
  RawRtsp c(device.Config().address, kRtspPort);
  ASSERT_TRUE(c.connected());
  auto refused = Describe(c, device, "not-the-password");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  for (const char* method : {"SETUP", "PLAY"}) {
    auto r = c.Request(method, Url(device, "/stream0"),
                       {{"Transport", "RTP/AVP/TCP;unicast;interleaved=0-1"}});
    // The third wrong answer ends the connection after its 401.
    if (r) {
      EXPECT_EQ(r->status, 401) << method;
    }
  }
  EXPECT_TRUE(c.ClosedWithin(5s));
  auto o = device.Observe();
  EXPECT_EQ(o.rtspRefused, 3u);
  EXPECT_EQ(o.rtspFramesSent, 0u);
  EXPECT_EQ(o.rtspViewers, 0u);

  // Each connection has its own nonce: an answer to another one's is refused.
  RawRtsp a(device.Config().address, kRtspPort);
  RawRtsp b(device.Config().address, kRtspPort);
  auto ca = a.Request("DESCRIBE", Url(device, "/stream0"));
  auto cb = b.Request("DESCRIBE", Url(device, "/stream0"));
  ASSERT_TRUE(ca && cb);
  EXPECT_NE(ca->headers.Find("WWW-Authenticate"), cb->headers.Find("WWW-Authenticate"));
  ASSERT_TRUE(b.Challenge(*ca, device.Config().user, device.Config().password));
  auto replayed = b.Request("DESCRIBE", Url(device, "/stream0"));
  ASSERT_TRUE(replayed);
  EXPECT_EQ(replayed->status, 401);

  // An accepted answer sent again verbatim (its nonce count not advanced) is
  // a replay.
  RawRtsp d(device.Config().address, kRtspPort);
  auto good = Describe(d, device, device.Config().password);
  ASSERT_TRUE(good);
  ASSERT_EQ(good->status, 200);
  auto again = d.RequestAsIs("DESCRIBE", Url(device, "/stream0"),
                             {{"Authorization", d.lastAuthorization()}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 401);

  // Refused logins cover RTSP too.
  device.SetRefuseLogins(true);
  auto fresh = Describe(a, device, device.Config().password);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->status, 401);
  device.SetRefuseLogins(false);
  auto accepted = a.Request("DESCRIBE", Url(device, "/stream1"));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->status, 200);
  auto missing = a.Request("DESCRIBE", Url(device, "/stream7"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

// Players that answer without qop (the RFC 2069 form RFC 2617 keeps) get in
// as well as those with it; a wrong password is refused either way.
TEST_F(RtspFaceTest, DigestAnswersWithAndWithoutQopAreJudged) {
  Device& device = AddRtsp(3);
  struct Case {
    bool qop;
    const char* password;  // nullptr: the device's own
    int status;
  };
  const Case cases[] = {{true, nullptr, 200}, {false, nullptr, 200}, {false, "wrong", 401}};
  for (const Case& c : cases) {
    RawRtsp raw(device.Config().address, kRtspPort);
    ASSERT_TRUE(raw.connected());
    const std::string url = Url(device, "/stream0");
    auto challenged = raw.Request("DESCRIBE", url);
    ASSERT_TRUE(challenged);
    ASSERT_EQ(challenged->status, 401);
    auto parsed = rtsp::ParseChallenges(challenged->headers.FindAll("WWW-Authenticate"));
    ASSERT_EQ(parsed.challenges.size(), 1u);
    rtsp::Challenge challenge = parsed.challenges[0];
    if (!c.qop) challenge.qopOffered = challenge.qopAuth = false;
    const std::string password = c.password ? c.password : device.Config().password;
    auto answer = rtsp::DigestAuthorization(
        challenge, {device.Config().user, password, "DESCRIBE", url, "0a4f113b", 1});
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->find("qop=") != std::string::npos, c.qop) << *answer;
    auto described = raw.RequestAsIs("DESCRIBE", url, {{"Authorization", *answer}});
    ASSERT_TRUE(described);
    EXPECT_EQ(described->status, c.status) << *answer;
  }
}

TEST_F(RtspFaceTest, AStalledDeviceHoldsItsAnswersUntilTheStallEnds) {
  Device& device = AddRtsp(8);
  RawRtsp c(device.Config().address, kRtspPort);
  ASSERT_TRUE(c.connected());
  device.SetStall(true);
  c.SetReadTimeout(500ms);
  EXPECT_FALSE(c.Request("OPTIONS", "*")) << "answered while stalled";
  device.SetStall(false);
  c.SetReadTimeout(5s);
  auto held = c.ReadResponse();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->status, 200);
  EXPECT_EQ(held->cseq(), 1u);
  // The aggregate URL as some players resolve "*" names the stream too.
  auto describe = Describe(c, device, device.Config().password);
  ASSERT_TRUE(describe);
  EXPECT_EQ(describe->status, 200);
  auto setup = c.Request("SETUP", Url(device, "/stream0/trackID=1"),
                         {{"Transport", "RTP/AVP/TCP;unicast;interleaved=0-1"}});
  ASSERT_TRUE(setup);
  const auto value = *setup->headers.Find("Session");
  const std::string session(value.substr(0, value.find(';')));
  auto play = c.Request("PLAY", Url(device, "/stream0/*"), {{"Session", session}});
  ASSERT_TRUE(play);
  EXPECT_EQ(play->status, 200);
}

TEST_F(RtspFaceTest, RequestHeadersAndConnectionsAreBounded) {
  Device& device = AddRtsp(4);
  RawRtsp c(device.Config().address, kRtspPort);
  ASSERT_TRUE(c.connected());
  std::string request = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX-Pad: ";
  request.append(100 * 1024, 'a');
  request += "\r\n\r\n";
  c.SendText(request);  // may fail part way: the server cuts early
  EXPECT_FALSE(c.ReadResponse()) << "no answer to an oversized header";
  EXPECT_TRUE(c.ClosedWithin(5s));

  RawRtsp next(device.Config().address, kRtspPort);
  auto options = next.Request("OPTIONS", "*");
  ASSERT_TRUE(options);
  EXPECT_EQ(options->status, 200);

  // 64 connections at a time: one more is closed at once.
  std::vector<std::unique_ptr<RawRtsp>> many;
  for (int i = 0; i < 63; ++i)
    many.push_back(std::make_unique<RawRtsp>(device.Config().address, kRtspPort));
  ASSERT_TRUE(device.WaitFor([](const Observations& o) { return o.rtspConnections == 65; }, 5s));
  RawRtsp extra(device.Config().address, kRtspPort);
  EXPECT_TRUE(extra.ClosedWithin(5s));
  auto still = many.back()->Request("OPTIONS", "*");
  ASSERT_TRUE(still);
  EXPECT_EQ(still->status, 200);
}

TEST_F(RtspFaceTest, DropAllConnectionsAndRestartCloseRtspViewers) {
  Device& device = AddRtsp(5);
  {
    RawRtsp c(device.Config().address, kRtspPort);
    std::string session;
    auto play = Play(c, device, &session);
    ASSERT_TRUE(play);
    ASSERT_EQ(play->status, 200);
    uint8_t channel = 0;
    std::vector<uint8_t> packet;
    ASSERT_TRUE(c.ReadPacket(channel, packet));
    device.DropAllConnections();
    EXPECT_TRUE(c.ClosedWithin(5s));
    EXPECT_TRUE(device.WaitFor([](const Observations& o) { return o.rtspViewers == 0; }, 5s));
  }
  {
    RawRtsp c(device.Config().address, kRtspPort);
    std::string session;
    auto play = Play(c, device, &session);
    ASSERT_TRUE(play);
    ASSERT_EQ(play->status, 200);
    const uint64_t restarts = device.Observe().restarts;
    device.Restart(100ms);
    EXPECT_TRUE(c.ClosedWithin(5s));
    ASSERT_TRUE(device.WaitFor(
        [&](const Observations& o) { return o.running && o.restarts == restarts + 1; }, 10s));
  }
  RawRtsp again(device.Config().address, kRtspPort);
  std::string session;
  auto play = Play(again, device, &session);
  ASSERT_TRUE(play);
  EXPECT_EQ(play->status, 200) << "listening again after the restart";
}

// A viewer that stops reading is bounded as a device-protocol one: frames
// are left out up to the next IDR and counted, and what it then reads has no
// RTP sequence gap and resumes, after a gap in the timestamps, at an IDR.
TEST_F(RtspFaceTest, AViewerThatFallsBehindIsCountedAndResumesAtAnIdr) {
  DeviceConfig config = SmallDevice(7);
  config.rtspPort = kRtspPort;
  config.replay = true;
  config.media = MediaSettings{640, 360, 50, 25, 40000};  // about 5 MB/s, 1800 ticks per frame
  Device& device = Add(config);
  RawRtsp c(config.address, kRtspPort);
  std::string session;
  auto play = Play(c, device, &session);
  ASSERT_TRUE(play);
  ASSERT_EQ(play->status, 200);
  ASSERT_TRUE(device.WaitFor([](const Observations& o) { return o.rtspFramesDropped > 0; }, 30s))
      << "the device never gave up on the viewer that does not read";

  uint8_t channel = 0;
  std::vector<uint8_t> packet;
  std::optional<rtsp::RtpHeader> previous;
  int afterGap = -1;
  uint64_t missing = 0;
  for (int packets = 0; packets < 200000 && afterGap < 5; ++packets) {
    ASSERT_TRUE(c.ReadPacket(channel, packet));
    auto rtp = rtsp::ParseRtp(packet);
    ASSERT_TRUE(rtp.ok());
    const auto& h = rtp.packet.header;
    if (previous) {
      ASSERT_EQ(h.sequence, uint16_t(previous->sequence + 1));
      const uint32_t step = h.timestamp - previous->timestamp;
      if (previous->marker && step > 1800) {
        const uint8_t nal = rtsp::NalType(rtp.packet.payload[0]);
        EXPECT_TRUE(nal == rtsp::kNalStapA || nal == rtsp::kNalSps)
            << "after a gap the stream resumes at an IDR with its parameter sets";
        missing += step / 1800 - 1;
        afterGap = 0;
      } else if (previous->marker && afterGap >= 0) {
        ++afterGap;
      }
    }
    previous = h;
  }
  ASSERT_GE(afterGap, 5) << "no gap in the timestamps";
  EXPECT_GE(device.Observe().rtspFramesDropped, missing);
}

TEST_F(RtspFaceTest, UdpMediaComesFromTheDeviceAddressToTheRtspPeerOnly) {
  Device& device = AddRtsp(6);
  RawRtsp c(device.Config().address, kRtspPort);
  ASSERT_TRUE(c.connected());
  // The receiver sits on the address the RTSP connection comes from.
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ASSERT_EQ(getsockname(c.fd(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  local.sin_port = 0;
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(udp, 0);
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  timeval timeout{5, 0};
  setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  length = sizeof local;
  getsockname(udp, reinterpret_cast<sockaddr*>(&local), &length);
  const int port = ntohs(local.sin_port);

  auto describe = Describe(c, device, device.Config().password);
  ASSERT_TRUE(describe);
  ASSERT_EQ(describe->status, 200);
  // A destination inside the request is not where media goes.
  const std::string offer =
      "RTP/AVP;unicast;destination=127.0.0.99;client_port=" + std::to_string(port) + "-" +
      std::to_string(port + 1);
  auto setup = c.Request("SETUP", Url(device, "/stream0/trackID=1"), {{"Transport", offer}});
  ASSERT_TRUE(setup);
  ASSERT_EQ(setup->status, 200);
  const std::string transport(*setup->headers.Find("Transport"));
  const size_t at = transport.find("server_port=");
  ASSERT_NE(at, std::string::npos) << transport;
  const int serverPort = std::atoi(transport.c_str() + at + 12);
  const std::string sessionValue(*setup->headers.Find("Session"));
  auto play = c.Request("PLAY", Url(device, "/stream0"),
                        {{"Session", sessionValue.substr(0, sessionValue.find(';'))}});
  ASSERT_TRUE(play);
  ASSERT_EQ(play->status, 200);

  uint8_t buffer[2048];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  const ssize_t n =
      recvfrom(udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  close(udp);
  ASSERT_GT(n, 0);
  char fromText[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
  EXPECT_EQ(fromText, device.Config().address);
  EXPECT_EQ(ntohs(from.sin_port), serverPort);
  auto rtp = rtsp::ParseRtp(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
  ASSERT_TRUE(rtp.ok());
  EXPECT_EQ(rtp.packet.header.payloadType, 96);
}

}  // namespace
}  // namespace qrv::sim::test
