// Alarms pushed by simulated devices and their answers to discovery probes,
// received on loopback by small listeners built on the protocol codec.
#include <asio.hpp>
#include <thread>

#include <unistd.h>

#include "tests/simulator/sim_fixture.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::sim::test {
namespace {

namespace proto = tmcc::protocol;

struct ReceivedAlarm {
  proto::Alarm alarm;
  std::string peer;
};

// Accepts `expected` alarm connections on 127.0.0.1 (an ephemeral port),
// acknowledging each alarm when ack is true.
class AlarmListener {
 public:
  explicit AlarmListener(size_t expected, bool ack = true)
      : acceptor_(io_, {asio::ip::make_address_v4("127.0.0.1"), 0}) {
    thread_ = std::thread([this, expected, ack] {
      for (size_t i = 0; i < expected; ++i) {
        asio::error_code error;
        asio::ip::tcp::socket socket(io_);
        acceptor_.accept(socket, error);
        if (error) return;
        std::vector<uint8_t> bytes;
        std::array<uint8_t, 256> buffer;
        while (true) {
          auto decoded = proto::DecodeFrame(bytes);
          if (decoded.status == proto::DecodeStatus::kFrame) {
            auto alarm = proto::ParseAlarm(decoded.frame.payload);
            if (alarm) {
              std::lock_guard<std::mutex> lock(mutex_);
              alarms_.push_back({*alarm, socket.remote_endpoint(error).address().to_string()});
            }
            if (ack) {
              std::vector<uint8_t> reply;
              proto::BuildAlarmAck(reply, decoded.frame.requestId);
              asio::write(socket, asio::buffer(reply), error);
            }
            break;
          }
          if (decoded.status == proto::DecodeStatus::kError) break;
          const size_t n = socket.read_some(asio::buffer(buffer), error);
          if (error) break;
          bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
        }
        if (!ack) {
          // Hold the connection open without acknowledging until the device gives up.
          socket.read_some(asio::buffer(buffer), error);
        }
      }
    });
  }
  ~AlarmListener() {
    asio::error_code ignored;
    acceptor_.close(ignored);
    thread_.join();
  }
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  std::vector<ReceivedAlarm> Alarms() {
    std::lock_guard<std::mutex> lock(mutex_);
    return alarms_;
  }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<ReceivedAlarm> alarms_;
};

class EventsTest : public SimulatorTest {};

TEST_F(EventsTest, RaisedAlarmsArriveFromTheDevicesOwnAddress) {
  AlarmListener listener(2);
  DeviceConfig c = SmallDevice(1);
  c.alarmPort = listener.Port();
  Device& device = Add(c);
  EXPECT_TRUE(device.RaiseAlarm(-17));
  EXPECT_TRUE(device.RaiseAlarm(5));
  auto alarms = listener.Alarms();
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_EQ(alarms[0].alarm.kind, 3);
  EXPECT_EQ(alarms[0].alarm.value, -17);
  EXPECT_EQ(alarms[1].alarm.value, 5);
  EXPECT_EQ(alarms[0].alarm.address, c.address);
  EXPECT_EQ(alarms[0].peer, c.address) << "the device connects from its own address";
  auto obs = device.Observe();
  EXPECT_EQ(obs.alarmsPushed, 2u);
  EXPECT_EQ(obs.lastAlarmValue, 5);
}

TEST_F(EventsTest, AlarmsWithoutListenerOrAckAreReportedAsFailed) {
  uint16_t closedPort = 0;
  {
    AlarmListener gone(0);
    closedPort = gone.Port();
  }
  DeviceConfig c = SmallDevice(2);
  c.alarmPort = closedPort;
  Device& device = Add(c);
  EXPECT_FALSE(device.RaiseAlarm(1));
  EXPECT_EQ(device.Observe().alarmsFailed, 1u);
  EXPECT_EQ(device.Observe().alarmsPushed, 0u);

  AlarmListener silent(1, /*ack=*/false);
  DeviceConfig d = SmallDevice(3);
  d.alarmPort = silent.Port();
  Device& other = Add(d);
  EXPECT_FALSE(other.RaiseAlarm(2)) << "no acknowledgement means not delivered";
  EXPECT_EQ(other.Observe().alarmsFailed, 1u);
}

TEST_F(EventsTest, ScheduledAlarmsKeepComing) {
  AlarmListener listener(3);
  DeviceConfig c = SmallDevice(4);
  c.alarmPort = listener.Port();
  c.alarmPeriodMs = 20;
  Device& device = Add(c);
  EXPECT_TRUE(device.WaitFor([](const Observations& o) { return o.alarmsPushed >= 3; }, 5000ms));
  auto alarms = listener.Alarms();
  ASSERT_GE(alarms.size(), 3u);
  EXPECT_LT(alarms[0].alarm.value, alarms[1].alarm.value);
}

// Sends one probe (or raw bytes) to 127.0.0.1:port and collects answers until
// `expected` have arrived or the time-out passes.
std::vector<proto::ProbeAnswer> Probe(uint16_t port, const std::vector<uint8_t>& datagram,
                                      size_t expected, std::chrono::milliseconds timeout) {
  asio::io_context io;
  asio::ip::udp::socket socket(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
  socket.send_to(asio::buffer(datagram), {asio::ip::make_address_v4("127.0.0.1"), port});
  std::vector<proto::ProbeAnswer> answers;
  std::array<uint8_t, 1024> buffer;
  asio::ip::udp::endpoint from;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (answers.size() < expected && std::chrono::steady_clock::now() < deadline) {
    size_t got = 0;
    bool done = false;
    socket.async_receive_from(asio::buffer(buffer), from, [&](const asio::error_code& e, size_t n) {
      done = !e;
      got = n;
    });
    io.restart();
    io.run_until(deadline);
    if (!done) {
      socket.cancel();
      io.restart();
      io.run();
      if (!done) break;
    }
    auto decoded = proto::DecodeFrame(std::span<const uint8_t>(buffer.data(), got));
    if (decoded.status != proto::DecodeStatus::kFrame) continue;
    if (auto a = proto::ParseProbeAnswer(decoded.frame.payload)) answers.push_back(*a);
  }
  return answers;
}

TEST_F(EventsTest, DiscoveryAnswersCarryEachDevicesIdentity) {
  // A port of this process's own, so no other test shares it.
  const auto port = static_cast<uint16_t>(40000 + getpid() % 20000);
  DeviceConfig a = SmallDevice(5), b = SmallDevice(6), quiet = SmallDevice(7);
  for (auto* c : {&a, &b, &quiet}) {
    c->answerDiscovery = true;
    c->discoveryPort = port;
  }
  b.identity = "CAM-B";
  b.mac = {1, 2, 3, 4, 5, 6};
  Add(a);
  Add(b);
  Device& stalled = Add(quiet);
  stalled.SetStall(true);

  // Garbage is ignored; the responder keeps working.
  Probe(port, {'x', 'y', 'z'}, 1, 100ms);
  std::vector<uint8_t> probe;
  proto::BuildProbe(probe, 3, proto::Probe{0xC0FFEE});
  auto answers = Probe(port, probe, 3, 1000ms);
  ASSERT_EQ(answers.size(), 2u) << "the stalled device does not answer";
  std::sort(answers.begin(), answers.end(),
            [](const auto& x, const auto& y) { return x.address < y.address; });
  EXPECT_EQ(answers[0].address, a.address);
  EXPECT_EQ(answers[0].identity.rfind("QRVSIM-", 0), 0u) << "a derived identity";
  EXPECT_EQ(answers[0].mac[0], 0x02);
  EXPECT_EQ(answers[1].identity, "CAM-B");
  EXPECT_EQ(answers[1].mac, b.mac);
  for (const auto& x : answers) {
    EXPECT_EQ(x.probeId, 0xC0FFEEu);
    EXPECT_EQ(x.controlPort, 6001);
    EXPECT_EQ(x.streamPort, 6002);
    EXPECT_EQ(x.mask, "255.0.0.0");
  }
  EXPECT_NE(answers[0].identity, answers[1].identity);
}

}  // namespace
}  // namespace qrv::sim::test
