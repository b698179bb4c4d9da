// The RTSP link itself against a scripted camera, with its picture time-out
// shortened: a camera that stops sending pictures but keeps the connection
// alive (RTCP, answered keep-alives) is given up one picture time after its
// last picture, not later. A login to a camera whose server goes away is
// lost once, however many re-logins fail, and restored when it is back.
#include "tmcc/rtsp/rtsp_session.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "devicelib/tmcc_errors.h"
#include "support/wait.h"
#include "tests/tmcc/rtsp_peer.h"
#include "tmcc/common/login_client.h"

namespace qrv::tmcc {
namespace {

namespace dl = qrv::devicelib;
namespace t = qrv::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// When the last picture came and when the link was lost, as the owner sees it.
struct Watch : SessionOwner {
  void OnSessionStream(Link&, const protocol::StreamData& data) override {
    if (data.frameType != protocol::kStreamVideo) return;
    std::lock_guard lock(mutex);
    lastPicture = Clock::now();
    ++pictures;
  }
  void OnSessionLost(Link&, int32_t why) override {
    std::lock_guard lock(mutex);
    lost = Clock::now();
    reason = why;
  }
  bool Lost() {
    std::lock_guard lock(mutex);
    return lost.has_value();
  }

  std::mutex mutex;
  Clock::time_point lastPicture{};
  int pictures = 0;
  std::optional<Clock::time_point> lost;
  int32_t reason = dl::kOk;
};

TEST(RtspSessionPictureTime, AStreamWithoutPicturesIsGivenUpOnePictureTimeAfterItsLast) {
  constexpr auto kPictureTime = 400ms;
  struct Case {
    const char* name;
    int pictures;
    int gapMs;  // between pictures
  };
  // A burst right after PLAY (the last picture long before the first check),
  // and pictures for longer than the picture time (several checks pass).
  const Case cases[] = {{"a burst", 3, 0}, {"a second of pictures", 10, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    t::ScriptedPeer peer(t::LoopbackAddress(61), [&](int fd) {
      if (!t::UpToPlay(fd, 2)) return;  // a keep-alive every second
      uint16_t sequence = 1;
      const std::string rtcp = t::Interleaved(1, std::vector<uint8_t>(8, 0x81));
      // Pictures paced by the case, then RTCP every 50 ms until the client
      // hangs up (3 s at most).
      for (int i = 0; i < c.pictures + 60; ++i) {
        const bool picture = i < c.pictures;
        if (picture) {
          std::string bytes;
          for (const auto& p : t::KeyPicture(sequence, static_cast<uint8_t>(i)))
            bytes += t::Interleaved(0, p);
          sequence = static_cast<uint16_t>(sequence + 3);
          t::SendText(fd, bytes);
        } else {
          t::SendText(fd, rtcp);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, picture ? c.gapMs : 50) > 0) {
          auto request = t::ReadRequest(fd);
          if (!request || request->method == "TEARDOWN") return;
          t::Answer(fd, *request, "200 OK", "Session: c0ffee\r\n");
        }
      }
    });

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    Strand strand = asio::make_strand(io);
    std::thread runner([&] { io.run(); });
    SessionParams params;
    params.address = asio::ip::make_address(t::LoopbackAddress(61));
    params.port = peer.port();
    params.purpose = protocol::Purpose::kStream;
    params.backend = Backend::kRtsp;
    params.rtspUrl = "rtsp://" + t::LoopbackAddress(61) + ":" + std::to_string(peer.port()) + "/c";
    params.pictureTime = kPictureTime;
    Watch watch;
    auto session = std::make_shared<RtspSession>(strand, params, &watch);
    std::optional<int32_t> established;  // the strand's until the runner is joined
    asio::post(strand, [&] { session->Start([&](int32_t result) { established = result; }); });
    EXPECT_TRUE(t::WaitUntil([&] { return watch.Lost(); }, 5s));
    asio::post(strand, [session] { session->Close(); });
    work.reset();
    runner.join();

    std::lock_guard lock(watch.mutex);
    ASSERT_TRUE(established.has_value());
    EXPECT_EQ(*established, dl::kOk);
    ASSERT_TRUE(watch.lost.has_value());
    EXPECT_EQ(watch.pictures, c.pictures);
    EXPECT_EQ(watch.reason, dl::kErrTimeout);
    // Counted from the last picture; a check that started the time over
    // would wait up to twice as long.
    const auto quiet = *watch.lost - watch.lastPicture;
    EXPECT_GE(quiet, kPictureTime - 20ms);
    EXPECT_LT(quiet, kPictureTime * 3 / 2);
  }
}

// A camera's RTSP server that can go away and come back on the same port.
// Every connection that asks is logged in (OPTIONS, DESCRIBE); one that says
// nothing is a check and is only counted.
class RestartableCamera {
 public:
  explicit RestartableCamera(std::string address) : address_(std::move(address)) {
    listener_ = t::ListenOn(address_, 8, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RestartableCamera() {
    done_ = true;
    thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  uint16_t port() const { return port_; }
  // Stops listening (connections are refused) or listens again.
  void SetUp(bool up) { wantUp_ = up; }
  int logins() const { return logins_; }
  int checks() const { return checks_; }

 private:
  void Serve() {
    while (!done_) {
      if (!wantUp_ && listener_ >= 0) {
        close(listener_);
        listener_ = -1;
      } else if (wantUp_ && listener_ < 0) {
        uint16_t same = port_;
        listener_ = t::ListenOn(address_, 8, &same);  // -1: tried again at the next turn
      }
      if (listener_ < 0) {
        pollfd none{-1, 0, 0};
        poll(&none, 0, 10);
        continue;
      }
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 10) != 1) continue;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      timeval tv{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      auto options = t::ReadRequest(fd);
      if (!options) {
        ++checks_;
      } else {
        t::Answer(fd, *options, "200 OK", "Public: OPTIONS, DESCRIBE\r\n");
        auto describe = t::ReadRequest(fd);
        if (describe) {
          t::Answer(fd, *describe, "200 OK", "Content-Type: application/sdp\r\n", t::kSdp);
          ++logins_;
        }
      }
      close(fd);
    }
  }
  const std::string address_;
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> wantUp_{true};
  std::atomic<bool> done_{false};
  std::atomic<int> logins_{0};
  std::atomic<int> checks_{0};
  std::thread thread_;
};

TEST(RtspLoginCheck, ACameraThatGoesAwayIsOneOutageAndItsLoginComesBack) {
  RestartableCamera camera(t::LoopbackAddress(62));
  auto client = std::make_shared<LoginClient>();
  client->SetAutoReconnect(true);
  SessionParams params;
  params.address = asio::ip::make_address(t::LoopbackAddress(62));
  params.port = camera.port();
  params.backend = Backend::kRtsp;
  params.rtspUrl = "rtsp://" + t::LoopbackAddress(62) + ":" + std::to_string(camera.port()) + "/c";
  params.loginCheck = 50ms;
  ASSERT_EQ(client->Open(params), dl::kOk);

  // Checks that find the camera leave the login alone.
  ASSERT_TRUE(t::WaitUntil([&] { return camera.checks() >= 3; }, 5s));
  EXPECT_TRUE(client->IsUp());
  EXPECT_EQ(client->Stats().disconnects, 0u);

  camera.SetUp(false);
  ASSERT_TRUE(t::WaitUntil([&] { return !client->IsUp(); }, 5s));
  // Re-logins fail while the camera is away; the outage stays one.
  const int attemptsWhenLost = client->attempts();
  ASSERT_TRUE(t::WaitUntil([&] { return client->attempts() >= attemptsWhenLost + 3; }, 10s));
  EXPECT_FALSE(client->IsUp());
  EXPECT_EQ(client->Stats().disconnects, 1u);

  camera.SetUp(true);
  ASSERT_TRUE(t::WaitUntil([&] { return client->IsUp(); }, 10s));
  const auto stats = client->Stats();
  EXPECT_EQ(stats.disconnects, 1u);
  EXPECT_EQ(stats.reconnects, 1u);
  EXPECT_EQ(camera.logins(), 2);
  client->Shutdown();
}

}  // namespace
}  // namespace qrv::tmcc
