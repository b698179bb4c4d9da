// The ONVIF link as the event watcher sees it (SoapPoster): posts reach the
// camera with a token it accepts, only paths are taken, answers come once
// and never from inside Post, and a closed link answers kErrClosed.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "devicelib/tmcc_errors.h"
#include "simulator/simulator.h"
#include "tests/tmcc/loopback.h"
#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/soap.h"
#include "tmcc/onvif/onvif_session.h"

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
namespace qt = qrv::tmcc;
using namespace std::chrono_literals;

namespace {

constexpr uint16_t kOnvifPort = 18081;

class NoOwner : public qt::SessionOwner {
 public:
  void OnSessionStream(qt::Link&, const qt::protocol::StreamData&) override {}
  void OnSessionLost(qt::Link&, int32_t) override {}
};

class OnvifPosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qrv::sim::DeviceConfig c;
    c.address = qrv::test::LoopbackAddress(41);
    c.user = "operator";
    c.password = "pw";
    c.media = qrv::sim::MediaSettings{320, 180, 25, 25};
    c.answerDiscovery = false;
    c.onvifPort = kOnvifPort;
    c.onvifDiscoveryPort = 0;
    c.alarmPort = 1;
    c.onvifClockOffsetSeconds = 7200;  // tokens must be made on the camera's clock
    std::string error;
    ASSERT_NE(sim_.AddDevice(c, &error), nullptr) << error;
    qt::SessionParams params;
    params.address = asio::ip::make_address(c.address);
    params.port = kOnvifPort;
    params.user = c.user;
    params.password = c.password;
    params.backend = qt::Backend::kOnvif;
    params.onvifPath = "/onvif/device_service";
    session_ = std::make_shared<qt::OnvifSession>(strand_, params, &owner_);
    thread_ = std::thread([this] { io_.run(); });
    ASSERT_EQ(OnStrand<int32_t>([&](auto set) { session_->Start(set); }), dl::kOk);
  }
  void TearDown() override {
    if (session_) asio::post(strand_, [s = session_] { s->Close(); });
    work_.reset();
    thread_.join();
  }

  // Runs start on the strand and waits (bounded) for the value it hands on.
  template <typename T, typename Start>
  T OnStrand(Start start) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    asio::post(strand_, [&, promise] { start([promise](T v) { promise->set_value(v); }); });
    if (future.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << "no answer";
      return T{};
    }
    return future.get();
  }

  struct Posted {
    qt::SoapAnswer answer;
    bool insidePost = false;
  };
  // closeAfter: the link is closed right after the post, on the strand.
  Posted Post(std::string path, bool closeAfter = false) {
    return OnStrand<Posted>([&, path](auto set) {
      auto inside = std::make_shared<bool>(true);
      auto envelope = ov::BuildGetDeviceInformationRequest(session_->Token());
      session_->Post(path, envelope, 3000ms, [set, inside](const qt::SoapAnswer& a) {
        set(Posted{a, *inside});
      });
      *inside = false;
      if (closeAfter) session_->Close();
    });
  }

  qrv::sim::Simulator sim_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  qt::Strand strand_{asio::make_strand(io_)};
  NoOwner owner_;
  std::shared_ptr<qt::OnvifSession> session_;
  std::thread thread_;
};

}  // namespace

TEST_F(OnvifPosterTest, PostsCarryATokenTheCameraTakesOnlyPathsAreTakenAndCloseAnswersClosed) {
  auto posted = Post("/onvif/device_service");
  EXPECT_FALSE(posted.insidePost);
  ASSERT_EQ(posted.answer.result, dl::kOk);
  EXPECT_EQ(posted.answer.httpStatus, 200);
  auto info = ov::ParseGetDeviceInformationResponse(posted.answer.body);
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->model, "QRV-SIM");
  EXPECT_EQ(OnStrand<std::string>([&](auto set) { set(session_->EventsPath()); }),
            "/onvif/event_service");

  // An absolute URI or a path that cannot go on a request line: refused
  // before anything goes out, and still answered later, not inside Post.
  for (const char* bad : {"http://203.0.113.9/onvif/events", "", "/a b"}) {
    posted = Post(bad);
    EXPECT_EQ(posted.answer.result, dl::kErrProtocol) << bad;
    EXPECT_FALSE(posted.insidePost) << bad;
  }

  // Cut short by Close, and after it: closed, and still not inside Post.
  posted = Post("/onvif/device_service", true);
  EXPECT_EQ(posted.answer.result, dl::kErrClosed);
  posted = Post("/onvif/device_service");
  EXPECT_EQ(posted.answer.result, dl::kErrClosed);
  EXPECT_FALSE(posted.insidePost);
}
