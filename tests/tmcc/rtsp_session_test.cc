// The RTSP link itself against a scripted camera, with its picture time-out
// shortened: a camera that stops sending pictures but keeps the connection
// alive (RTCP, answered keep-alives) is given up one picture time after its
// last picture, not later.
#include "tmcc/rtsp/rtsp_session.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "devicelib/tmcc_errors.h"
#include "support/wait.h"
#include "tests/tmcc/rtsp_peer.h"

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

}  // namespace
}  // namespace qrv::tmcc
