// The simulator's ONVIF face over real loopback HTTP and UDP, driven with
// the ONVIF codec's client side (and a few bytes checked by hand, as the
// server is built on the same codec).
#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "tests/simulator/sim_fixture.h"
#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/discovery.h"
#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/onvif/codec/soap.h"
#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/message.h"

namespace qrv::sim::test {
namespace {

namespace ov = tmcc::onvif;
namespace rt = tmcc::rtsp;
using asio::ip::tcp;
using namespace std::chrono_literals;

// Ports on this process's own loopback address (see TestAddress), so no
// other test can hold them; the fixed ONVIF ports belong to the namespaced
// interop test.
constexpr uint16_t kOnvifPort = 18080;
constexpr uint16_t kDiscoveryPort = 13702;
constexpr uint16_t kRtspPort = 18554;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One HTTP connection with every wait bounded.
class Http {
 public:
  bool Connect(const std::string& address, uint16_t port) {
    asio::error_code result = asio::error::timed_out;
    socket_.async_connect({asio::ip::make_address_v4(address), port},
                          [&](const asio::error_code& e) { result = e; });
    Run(3s);
    return !result;
  }
  bool Send(const std::string& bytes) {
    asio::error_code result = asio::error::timed_out;
    asio::async_write(socket_, asio::buffer(bytes),
                      [&](const asio::error_code& e, size_t) { result = e; });
    Run(3s);
    return !result;
  }
  // The next response, or nothing on a time-out, a closed connection or
  // bytes that are no HTTP response.
  std::optional<rt::Response> Receive(std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      rt::MessageLimits limits;
      limits.maxBody = 1 << 20;
      const auto r = rt::ParseHttpResponse(
          {reinterpret_cast<const uint8_t*>(in_.data()), in_.size()}, false, limits);
      if (r.status == rt::ParseStatus::kMessage) {
        in_.erase(0, r.consumed);
        return r.response;
      }
      if (r.status == rt::ParseStatus::kError || !ReadSome(end)) return std::nullopt;
    }
  }
  // Whether the server closes the connection before the deadline.
  bool ClosedByPeer(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (ReadSome(end)) {
    }
    return eof_;
  }

 private:
  bool ReadSome(std::chrono::steady_clock::time_point end) {
    std::array<char, 8192> chunk;
    asio::error_code result = asio::error::timed_out;
    size_t got = 0;
    socket_.async_read_some(asio::buffer(chunk), [&](const asio::error_code& e, size_t n) {
      result = e;
      got = n;
    });
    Run(std::chrono::duration_cast<std::chrono::milliseconds>(end -
                                                              std::chrono::steady_clock::now()));
    if (result == asio::error::eof || result == asio::error::connection_reset) eof_ = true;
    if (result) return false;
    in_.append(chunk.data(), got);
    return true;
  }
  void Run(std::chrono::milliseconds timeout) {
    io_.restart();
    io_.run_for(std::max(timeout, 1ms));
    if (!io_.stopped()) {
      // Timed out: cancel and let the handler see it.
      asio::error_code ignored;
      socket_.cancel(ignored);
      io_.restart();
      io_.run();
    }
  }

  asio::io_context io_;
  tcp::socket socket_{io_};
  std::string in_;
  bool eof_ = false;
};

class OnvifFaceTest : public SimulatorTest {
 protected:
  void SetUp() override {
    auto c = SmallDevice(1);
    c.onvifPort = kOnvifPort;
    c.onvifDiscoveryPort = kDiscoveryPort;
    c.rtspPort = kRtspPort;  // the stream URIs name the RTSP face
    c.alarmPort = 1;         // nobody listens: alarms reach only the face
    device_ = &Add(c);
    ASSERT_TRUE(http_.Connect(c.address, kOnvifPort));
  }
  std::string Address() const { return device_->Config().address; }
  std::optional<ov::UsernameToken> Token(const std::string& password = "s3cret") {
    return ov::NewUsernameToken(device_->Config().user, password, Now(), 0);
  }
  std::string Post(const std::string& path, const std::string& envelope) {
    rt::OutgoingRequest r;
    r.method = "POST";
    r.uri = path;
    r.headers = {{"Host", Address()}, {"Content-Type", "application/soap+xml; charset=utf-8"}};
    r.body = envelope;
    return rt::BuildHttpRequest(r).value_or("");
  }
  // Posts and returns the answer (status and body), failing the test on none.
  rt::Response Call(const std::string& path, const std::string& envelope) {
    EXPECT_TRUE(http_.Send(Post(path, envelope)));
    auto r = http_.Receive();
    EXPECT_TRUE(r.has_value()) << "no answer to " << envelope.substr(0, 200);
    return r.value_or(rt::Response{});
  }
  static std::string PathOf(const std::string& url) {
    const size_t slash = url.find('/', url.find("://") + 3);
    return slash == std::string::npos ? "/" : url.substr(slash);
  }

  Device* device_ = nullptr;
  Http http_;
};

TEST_F(OnvifFaceTest, UsernameTokenIsRequiredExceptForTheClock) {
  // The clock goes unauthenticated: a client needs it to make a token.
  auto r = Call("/onvif/device_service", ov::BuildGetSystemDateAndTimeRequest());
  EXPECT_EQ(r.status, 200);
  const auto clock = ov::ParseGetSystemDateAndTimeResponse(r.body);
  ASSERT_TRUE(clock) << clock.error().message;
  EXPECT_LE(std::abs(clock->utcUnix - Now()), 5);

  for (const auto& token : {std::optional<ov::UsernameToken>{}, Token("wrong")}) {
    r = Call("/onvif/device_service", ov::BuildGetCapabilitiesRequest(token));
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("<env:Value>ter:NotAuthorized</env:Value>"), std::string::npos) << r.body;
    const auto refused = ov::ParseGetCapabilitiesResponse(r.body);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().NotAuthorized());
  }

  const auto good = Token();
  r = Call("/onvif/device_service", ov::BuildGetCapabilitiesRequest(good));
  EXPECT_EQ(r.status, 200);
  const auto caps = ov::ParseGetCapabilitiesResponse(r.body);
  ASSERT_TRUE(caps) << caps.error().message;
  const std::string base = "http://" + Address() + ":" + std::to_string(kOnvifPort);
  EXPECT_EQ(caps->device, base + "/onvif/device_service");
  EXPECT_EQ(caps->ptz, base + "/onvif/ptz_service");
  EXPECT_EQ(caps->events, base + "/onvif/event_service");
  // The same token again is a replay.
  r = Call("/onvif/device_service", ov::BuildGetCapabilitiesRequest(good));
  EXPECT_FALSE(ov::ParseGetCapabilitiesResponse(r.body));

  const auto info = ov::ParseGetDeviceInformationResponse(
      Call("/onvif/device_service", ov::BuildGetDeviceInformationRequest(Token())).body);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->model, device_->Config().model);

  // An operation the face does not know is a fault, and the connection lives on.
  r = Call("/onvif/device_service", ov::BuildEnvelope("<tds:GetHostname/>", Token()));
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("ter:ActionNotSupported"), std::string::npos);
  EXPECT_TRUE(ov::ParseGetSystemDateAndTimeResponse(
      Call("/onvif/device_service", ov::BuildGetSystemDateAndTimeRequest()).body));
}

TEST_F(OnvifFaceTest, ProfilesStreamUrisAndDigestSnapshot) {
  const auto profiles = ov::ParseGetProfilesResponse(
      Call("/onvif/media_service", ov::BuildGetProfilesRequest(Token())).body);
  ASSERT_TRUE(profiles) << profiles.error().message;
  ASSERT_EQ(profiles->size(), 2u);
  for (const auto& p : *profiles) {
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 180);
    EXPECT_EQ(p.videoEncoding, "H264");
  }
  EXPECT_TRUE((*profiles)[0].hasPtz);
  EXPECT_FALSE((*profiles)[1].hasPtz);

  for (size_t i = 0; i < 2; ++i) {
    const auto uri = ov::ParseGetStreamUriResponse(
        Call("/onvif/media_service", ov::BuildGetStreamUriRequest(Token(), (*profiles)[i].token))
            .body);
    ASSERT_TRUE(uri);
    EXPECT_EQ(uri->uri, "rtsp://" + Address() + ":" + std::to_string(kRtspPort) + "/stream" +
                            std::to_string(i));
  }
  auto r = Call("/onvif/media_service", ov::BuildGetStreamUriRequest(Token(), "NoSuchProfile"));
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("ter:NoProfile"), std::string::npos);

  const auto snapshot = ov::ParseGetSnapshotUriResponse(
      Call("/onvif/media_service", ov::BuildGetSnapshotUriRequest(Token(), (*profiles)[0].token))
          .body);
  ASSERT_TRUE(snapshot);
  const std::string path = PathOf(snapshot->uri);
  EXPECT_EQ(path, "/snapshot/0.jpg");

  // Digest: challenged first, refused with a wrong password, then served.
  auto get = [&](const std::optional<std::string>& authorization) {
    rt::OutgoingRequest g;
    g.method = "GET";
    g.uri = path;
    g.headers = {{"Host", Address()}};
    if (authorization) g.headers.push_back({"Authorization", *authorization});
    EXPECT_TRUE(http_.Send(rt::BuildHttpRequest(g).value_or("")));
    return http_.Receive().value_or(rt::Response{});
  };
  const auto challenge = get(std::nullopt);
  ASSERT_EQ(challenge.status, 401);
  const auto values = challenge.headers.FindAll("WWW-Authenticate");
  rt::Authenticator wrong("operator", "nope", false);
  ASSERT_EQ(wrong.OnChallenge(values), rt::Authenticator::Verdict::kRetry);
  EXPECT_EQ(get(wrong.Authorization("GET", path)).status, 401);
  rt::Authenticator right("operator", "s3cret", false);
  ASSERT_EQ(right.OnChallenge(values), rt::Authenticator::Verdict::kRetry);
  const auto jpeg = get(right.Authorization("GET", path));
  EXPECT_EQ(jpeg.status, 200);
  EXPECT_EQ(jpeg.headers.Find("Content-Type").value_or(""), "image/jpeg");
  ASSERT_GT(jpeg.body.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(jpeg.body[0]), 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(jpeg.body[1]), 0xD8);
}

TEST_F(OnvifFaceTest, PtzMovesAndPresetsDriveTheDeviceModel) {
  const std::string ptz = "/onvif/ptz_service";
  const PtzPosition start = device_->Observe().ptz;
  ov::ContinuousMove move;
  move.profileToken = "Profile1";
  move.panX = 0.5;
  move.tiltY = 0;
  ASSERT_TRUE(ov::ParseContinuousMoveResponse(
      Call(ptz, ov::BuildContinuousMoveRequest(Token(), move)).body));
  // Right at half speed on the device's own codes; a started move nudges the head at once.
  auto o = device_->Observe();
  EXPECT_EQ(o.lastPtzCode, 24);
  EXPECT_EQ(o.lastPtzParam1, 0);
  EXPECT_EQ(o.lastPtzParam2, 40);
  EXPECT_GT(o.ptz.pan, start.pan);

  move.panX = 0;
  move.tiltY = 1;  // up is positive here, "up" (21) on the device
  ASSERT_TRUE(ov::ParseContinuousMoveResponse(
      Call(ptz, ov::BuildContinuousMoveRequest(Token(), move)).body));
  EXPECT_EQ(device_->Observe().lastPtzCode, 21);
  EXPECT_LT(device_->Observe().ptz.tilt, start.tilt);

  ov::StopMove stop;
  stop.profileToken = "Profile1";
  stop.zoom = false;
  ASSERT_TRUE(ov::ParseStopResponse(Call(ptz, ov::BuildStopRequest(Token(), stop)).body));
  o = device_->Observe();
  EXPECT_EQ(o.lastPtzCode, 21);
  EXPECT_EQ(o.lastPtzParam1, 1);  // stop
  const PtzPosition stored = o.ptz;

  // The second profile has no PTZ.
  move.profileToken = "Profile2";
  EXPECT_EQ(Call(ptz, ov::BuildContinuousMoveRequest(Token(), move)).status, 400);

  const auto token = ov::ParseSetPresetResponse(
      Call(ptz, ov::BuildSetPresetRequest(Token(), "Profile1", "door", "")).body);
  ASSERT_TRUE(token);
  const auto presets =
      ov::ParseGetPresetsResponse(Call(ptz, ov::BuildGetPresetsRequest(Token(), "Profile1")).body);
  ASSERT_TRUE(presets);
  ASSERT_EQ(presets->size(), 1u);
  EXPECT_EQ((*presets)[0].token, *token);
  EXPECT_EQ((*presets)[0].name, "door");

  device_->Ptz(24, 0, 80);
  device_->Ptz(24, 1, 0);
  ASSERT_NE(device_->Observe().ptz.pan, stored.pan);
  ASSERT_TRUE(ov::ParseGotoPresetResponse(
      Call(ptz, ov::BuildGotoPresetRequest(Token(), "Profile1", *token)).body));
  EXPECT_DOUBLE_EQ(device_->Observe().ptz.pan, stored.pan);
  EXPECT_DOUBLE_EQ(device_->Observe().ptz.tilt, stored.tilt);

  ASSERT_TRUE(ov::ParseRemovePresetResponse(
      Call(ptz, ov::BuildRemovePresetRequest(Token(), "Profile1", *token)).body));
  const auto gone = Call(ptz, ov::BuildGotoPresetRequest(Token(), "Profile1", *token));
  EXPECT_NE(gone.body.find("ter:NoToken"), std::string::npos);
}

TEST_F(OnvifFaceTest, RaisedAlarmsArriveThroughPullMessages) {
  const std::string events = "/onvif/event_service";
  const auto sub = ov::ParseCreatePullPointSubscriptionResponse(
      Call(events, ov::BuildCreatePullPointSubscriptionRequest(
                       Token(), "http://" + Address() + events, 60'000))
          .body);
  ASSERT_TRUE(sub) << sub.error().message;
  EXPECT_GT(sub->terminationTime, sub->currentTime);
  const std::string path = PathOf(sub->reference.address);
  auto pull = [&](int64_t timeoutMs, int limit) {
    return Call(path, ov::BuildPullMessagesRequest(Token(), sub->reference, timeoutMs, limit));
  };

  auto r = ov::ParsePullMessagesResponse(pull(0, 10).body);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_TRUE(r->messages.empty());

  device_->RaiseAlarm(5);
  device_->RaiseAlarm(-2);
  r = ov::ParsePullMessagesResponse(pull(1000, 10).body);
  ASSERT_TRUE(r) << r.error().message;
  ASSERT_EQ(r->messages.size(), 2u);
  EXPECT_EQ(r->messages[0].topicPath, "VideoSource/MotionAlarm");
  EXPECT_EQ(r->messages[0].topicNamespace, "http://www.onvif.org/ver10/topics");
  ASSERT_EQ(r->messages[0].data.size(), 1u);
  EXPECT_EQ(r->messages[0].data[0].name, "State");
  EXPECT_EQ(r->messages[0].data[0].value, "true");
  EXPECT_EQ(r->messages[1].topicPath, "Device/Trigger/DigitalInput");
  ASSERT_EQ(r->messages[1].data.size(), 1u);
  EXPECT_EQ(r->messages[1].data[0].name, "LogicalState");
  ASSERT_EQ(r->messages[1].source.size(), 1u);
  EXPECT_EQ(r->messages[1].source[0].value, "DigitalInput_2");

  // A waiting pull is answered as soon as an alarm comes, well before its timeout.
  ASSERT_TRUE(
      http_.Send(Post(path, ov::BuildPullMessagesRequest(Token(), sub->reference, 8000, 10))));
  const auto sent = std::chrono::steady_clock::now();
  std::thread raiser([&] { device_->RaiseAlarm(7); });
  auto waited = http_.Receive(6000ms);
  raiser.join();
  ASSERT_TRUE(waited);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 6s);
  r = ov::ParsePullMessagesResponse(waited->body);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->messages.size(), 1u);

  // A subscriber that does not pull keeps only the newest 64.
  for (int i = 0; i < 70; ++i) device_->RaiseAlarm(100 + i);
  r = ov::ParsePullMessagesResponse(pull(0, 256).body);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->messages.size(), 64u);

  const auto renewed = ov::ParseRenewResponse(
      Call(path, ov::BuildRenewRequest(Token(), sub->reference, 120'000)).body);
  ASSERT_TRUE(renewed) << renewed.error().message;
  EXPECT_GT(renewed->terminationTime, sub->terminationTime);
  ASSERT_TRUE(ov::ParseUnsubscribeResponse(
      Call(path, ov::BuildUnsubscribeRequest(Token(), sub->reference)).body));
  EXPECT_FALSE(ov::ParsePullMessagesResponse(pull(0, 10).body));
}

TEST_F(OnvifFaceTest, SubscriptionsExpireAndAreBounded) {
  const std::string events = "/onvif/event_service";
  auto create = [&](int64_t ms) {
    return ov::ParseCreatePullPointSubscriptionResponse(
        Call(events, ov::BuildCreatePullPointSubscriptionRequest(
                         Token(), "http://" + Address() + events, ms))
            .body);
  };
  // The shortest life the face grants is a second.
  const auto brief = create(1);
  ASSERT_TRUE(brief) << brief.error().message;
  EXPECT_LE(brief->terminationTime - brief->currentTime, 1);
  const std::string path = PathOf(brief->reference.address);
  bool expired = false;
  for (auto end = std::chrono::steady_clock::now() + 5s;
       !expired && std::chrono::steady_clock::now() < end;) {
    // A pull waits at most its timeout: this loop is bounded by the face, not by sleeping.
    expired = !ov::ParsePullMessagesResponse(
        Call(path, ov::BuildPullMessagesRequest(Token(), brief->reference, 500, 1)).body);
  }
  EXPECT_TRUE(expired);

  // A peer cannot pile up subscriptions without bound.
  int made = 0;
  for (int i = 0; i < 20; ++i) made += create(60'000) ? 1 : 0;
  EXPECT_EQ(made, 16);
}

TEST_F(OnvifFaceTest, OversizedOrMalformedRequestsAreCut) {
  // A header block past 16 KiB: refused and closed before it ends.
  std::string big = "POST /onvif/device_service HTTP/1.1\r\nX: " + std::string(17 * 1024, 'a');
  ASSERT_TRUE(http_.Send(big));
  auto r = http_.Receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_TRUE(http_.ClosedByPeer(3000ms));

  // A body announced past 256 KiB: refused on its header alone.
  Http second;
  ASSERT_TRUE(second.Connect(Address(), kOnvifPort));
  ASSERT_TRUE(second.Send("POST /onvif/device_service HTTP/1.1\r\nContent-Length: 300000\r\n\r\n"));
  r = second.Receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_TRUE(second.ClosedByPeer(3000ms));

  Http third;
  ASSERT_TRUE(third.Connect(Address(), kOnvifPort));
  ASSERT_TRUE(third.Send("\x16\x03\x01 not http\r\n\r\n"));
  r = third.Receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_TRUE(third.ClosedByPeer(3000ms));

  // Not SOAP at all: a fault, not a crash; the face still serves.
  Http fourth;
  ASSERT_TRUE(fourth.Connect(Address(), kOnvifPort));
  ASSERT_TRUE(fourth.Send(Post("/onvif/device_service", "<<<")));
  r = fourth.Receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  ASSERT_TRUE(fourth.Send(Post("/onvif/device_service", ov::BuildGetSystemDateAndTimeRequest())));
  r = fourth.Receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

TEST_F(OnvifFaceTest, DiscoveryAnswersOurProbeOnly) {
  asio::io_context io;
  asio::ip::udp::socket socket(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
  const asio::ip::udp::endpoint device{asio::ip::make_address_v4(Address()), kDiscoveryPort};
  auto receive = [&](std::chrono::milliseconds timeout) -> std::optional<std::string> {
    std::array<char, 65536> buffer;
    asio::ip::udp::endpoint from;
    std::optional<std::string> got;
    socket.async_receive_from(asio::buffer(buffer), from, [&](const asio::error_code& e, size_t n) {
      if (!e) got = std::string(buffer.data(), n);
    });
    io.restart();
    io.run_for(timeout);
    if (!io.stopped()) {
      socket.cancel();
      io.restart();
      io.run();
    }
    return got;
  };

  // Junk and a malformed probe get nothing back; then a real probe is answered.
  socket.send_to(asio::buffer(std::string("<Probe/>")), device);
  const auto probe = ov::NewProbe();
  ASSERT_TRUE(probe);
  socket.send_to(asio::buffer(probe->xml), device);
  const auto answer = receive(3000ms);
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->find("RelatesTo>" + probe->messageId + "<"), std::string::npos);
  const auto matches = ov::ParseProbeMatches(*answer, probe->messageId);
  ASSERT_TRUE(matches) << matches.error().message;
  ASSERT_EQ(matches->size(), 1u);
  EXPECT_EQ((*matches)[0].xaddrs,
            std::vector<std::string>{"http://" + Address() + ":" + std::to_string(kOnvifPort) +
                                     "/onvif/device_service"});
  bool modelScope = false;
  for (const auto& s : (*matches)[0].scopes)
    modelScope |= s == "onvif://www.onvif.org/hardware/" + device_->Config().model;
  EXPECT_TRUE(modelScope);
  // The answer is to our probe, not any other.
  EXPECT_FALSE(ov::ParseProbeMatches(*answer, "urn:uuid:00000000-0000-4000-8000-000000000000"));
  // Nothing more came (the junk was not answered).
  EXPECT_FALSE(receive(300ms));
}

}  // namespace
}  // namespace qrv::sim::test
