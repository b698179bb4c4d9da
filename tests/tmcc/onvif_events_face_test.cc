// The event watcher against the simulator's ONVIF face over real HTTP: a
// device's alarms arrive as pulled events and reach the alarm listeners with
// the device's address; stopping gives the subscription back. The poster
// here is the smallest that works (one connection per exchange), standing in
// for the login link's.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "simulator/simulator.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"
#include "tmcc/native/alarm_listener.h"
#include "tmcc/onvif/onvif_event_watcher.h"

namespace qrv::tmcc {
namespace {

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
using asio::ip::tcp;
using namespace std::chrono_literals;
using test::WaitUntil;

constexpr uint16_t kOnvifPort = 18080;  // on this process's own loopback address
constexpr size_t kMaxAnswerBytes = 1 << 20;

class HttpPoster : public SoapPoster {
 public:
  HttpPoster(Strand strand, tcp::endpoint camera, std::string user, std::string password)
      : strand_(std::move(strand)),
        camera_(camera),
        user_(std::move(user)),
        password_(std::move(password)) {}

  void Post(std::string path, std::string envelope, std::chrono::milliseconds timeout,
            Done done) override {
    auto x = std::make_shared<Exchange>(strand_, std::move(done));
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(envelope);
    }
    x->request = "POST " + path + " HTTP/1.1\r\nHost: " + camera_.address().to_string() + ":" +
                 std::to_string(camera_.port()) +
                 "\r\nContent-Type: application/soap+xml; charset=utf-8\r\nContent-Length: " +
                 std::to_string(envelope.size()) + "\r\nConnection: close\r\n\r\n" + envelope;
    x->timer.expires_after(timeout);
    x->timer.async_wait([x](const asio::error_code& ec) {
      if (!ec) x->Finish({dl::kErrTimeout, 0, ""});
    });
    x->socket.async_connect(camera_, [x](const asio::error_code& ec) {
      if (ec) return x->Finish({dl::kErrUnreachable, 0, ""});
      asio::async_write(
          x->socket, asio::buffer(x->request), [x](const asio::error_code& ec, size_t) {
            if (ec) return x->Finish({dl::kErrUnreachable, 0, ""});
            asio::async_read(x->socket, x->input, [x](const asio::error_code& ec, size_t) {
              if (ec != asio::error::eof) return x->Finish({dl::kErrProtocol, 0, ""});
              std::string all(asio::buffers_begin(x->input.data()),
                              asio::buffers_end(x->input.data()));
              const size_t end = all.find("\r\n\r\n");
              if (!all.starts_with("HTTP/1.1 ") || end == std::string::npos) {
                return x->Finish({dl::kErrProtocol, 0, ""});
              }
              x->Finish({dl::kOk, std::atoi(all.c_str() + 9), all.substr(end + 4)});
            });
          });
    });
  }
  std::optional<ov::UsernameToken> Token() override {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return ov::NewUsernameToken(user_, password_, now, 0);
  }
  std::vector<std::string> Posted() {
    std::lock_guard lock(mutex_);
    return posted_;
  }

 private:
  struct Exchange : std::enable_shared_from_this<Exchange> {
    Exchange(Strand strand, Done d)
        : socket(strand), timer(strand), input(kMaxAnswerBytes), done(std::move(d)) {}
    void Finish(SoapAnswer answer) {
      if (!done) return;
      auto d = std::move(done);
      done = nullptr;
      timer.cancel();
      asio::error_code ignored;
      socket.close(ignored);
      d(answer);
    }
    tcp::socket socket;
    asio::steady_timer timer;
    asio::streambuf input;
    std::string request;
    Done done;
  };

  Strand strand_;
  tcp::endpoint camera_;
  std::string user_;
  std::string password_;
  std::mutex mutex_;
  std::vector<std::string> posted_;
};

struct HeardAlarms {
  std::mutex mutex;
  std::vector<dl::AlarmRecord> records;
  static int32_t QRV_CALLBACK Callback(int32_t, dl::AlarmMessage* message, void* context) {
    auto* self = static_cast<HeardAlarms*>(context);
    std::lock_guard lock(self->mutex);
    self->records.push_back(*message->record);
    return 0;
  }
  std::vector<dl::AlarmRecord> Copy() {
    std::lock_guard lock(mutex);
    return records;
  }
};

TEST(OnvifEventsAgainstTheFace, DeviceAlarmsArriveAsPulledEventsAndStopGivesTheSubscriptionBack) {
  sim::Simulator sim;
  sim::DeviceConfig c;
  c.address = test::LoopbackAddress(60);
  c.controlPort = 6101;
  c.streamPort = 6102;
  c.onvifPort = kOnvifPort;
  c.onvifDiscoveryPort = 0;
  c.alarmHost = "127.0.0.1";
  c.alarmPort = 1;  // nobody: only the pulled events reach the listener
  std::string error;
  sim::Device* device = sim.AddDevice(c, &error);
  ASSERT_NE(device, nullptr) << error;

  HeardAlarms heard;
  auto listener = std::make_shared<AlarmListener>();
  listener->SetCallback(&HeardAlarms::Callback, &heard);
  ASSERT_EQ(listener->Start(0, asio::ip::make_address("127.0.0.1")), dl::kOk);

  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  Strand strand = asio::make_strand(io);
  HttpPoster poster(strand, {asio::ip::make_address(c.address), kOnvifPort}, c.user, c.password);
  OnvifEventOptions options;
  options.pullWait = 1000ms;
  auto watcher = OnvifEventWatcher::Create(strand, poster, "/onvif/event_service", c.address, 7,
                                           2000ms, options);
  asio::post(strand, [watcher] { watcher->Start(); });
  ASSERT_TRUE(WaitUntil([&] { return watcher->stats().subscriptions.load() == 1; }, 5s))
      << watcher->stats().subscribeFailures.load();

  EXPECT_FALSE(device->RaiseAlarm(7));   // pushed nowhere, but the face hears it
  EXPECT_FALSE(device->RaiseAlarm(-2));  // digital input 2
  ASSERT_TRUE(WaitUntil([&] { return heard.Copy().size() == 2; }, 5s));
  const auto records = heard.Copy();
  EXPECT_EQ(records[0].value, 1);
  EXPECT_EQ(records[0].channel, 1u);
  EXPECT_EQ(records[1].value, -2);
  EXPECT_EQ(records[1].channel, 2u);
  for (const auto& r : records) {
    EXPECT_EQ(r.kind, dl::kAlarmKindAlarm);
    EXPECT_EQ(std::string(r.address), c.address);
  }

  asio::post(strand, [watcher] { watcher->Stop(); });
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto posted = poster.Posted();
        return !posted.empty() && posted.back().find("Unsubscribe") != std::string::npos;
      },
      5s));
  // The face answered the Unsubscribe: the subscription it held is gone.
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::promise<bool> idle;
        auto f = idle.get_future();
        asio::post(strand, [&] { idle.set_value(true); });
        return f.get() && watcher.use_count() == 1;
      },
      5s));
  EXPECT_EQ(watcher->stats().unsubscribeFailures.load(), 0u);
  EXPECT_EQ(watcher->stats().pullFailures.load(), 0u);
  const size_t posts = poster.Posted().size();
  EXPECT_FALSE(device->RaiseAlarm(9));
  EXPECT_FALSE(WaitUntil([&] { return poster.Posted().size() > posts; }, 300ms));
  EXPECT_EQ(heard.Copy().size(), 2u);

  work.reset();
  io.stop();
  runner.join();
  listener->Stop();
}

}  // namespace
}  // namespace qrv::tmcc
