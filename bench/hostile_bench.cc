// Resident memory of a process running the device library before and after
// hostile peers have done their worst (loopback only, bounded):
//   1  an alarm-port peer sends 96 MiB of alarms and never reads the acks
//   2  a logged-in device sends 64 MiB of pings and never reads the pongs
//      (control and stream session)
//   4  500 slow and idle alarm peers while a device's alarm must still arrive
// Prints one line per case; figures, not pass/fail.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tests/hostile/hostile_peer.h"
#include "tmcc/common/login_client.h"
#include "tmcc/common/stream_client.h"
#include "tmcc/native/alarm_listener.h"
#include "tmcc/native/connection/framed_connection.h"

using namespace qrv;
using namespace std::chrono_literals;
namespace pr = qrv::tmcc::protocol;

namespace {

std::atomic<int> alarms{0};
int32_t CountAlarm(int32_t, devicelib::AlarmMessage*, void*) {
  ++alarms;
  return 0;
}

double MiB(int64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

void Report(const char* name, int64_t before, int64_t after, const std::string& extra) {
  std::printf("%-34s RSS %7.1f -> %7.1f MiB (%+6.1f)  %s\n", name, MiB(before), MiB(after),
              MiB(after - before), extra.c_str());
}

tmcc::SessionParams Params(uint16_t port, pr::Purpose purpose) {
  tmcc::SessionParams p;
  p.address = asio::ip::make_address("127.0.0.1");
  p.port = port;
  p.user = "admin";
  p.password = "pw";
  p.purpose = purpose;
  return p;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace

int main() {
  const std::string ip = "127.0.0.1";
  auto listener = std::make_shared<tmcc::AlarmListener>();
  listener->SetCallback(CountAlarm, nullptr);
  if (listener->Start(0, asio::ip::make_address(ip)) != devicelib::kOk) return 1;

  {  // 1
    const int64_t before = hostile::RssBytes();
    const uint64_t sent = hostile::FloodAlarms(ip, listener->port(), 96ull << 20);
    Report("1 alarm flood, acks unread", before, hostile::RssBytes(),
           "sent " + std::to_string(sent >> 20) + " MiB of 96, cut for full queue: " +
               std::to_string(tmcc::connection::Cuts().queueFull.load()));
  }
  for (auto purpose : {pr::Purpose::kControl, pr::Purpose::kStream}) {  // 2
    std::atomic<uint64_t> sent{0};
    hostile::Device device(
        ip, "pw", 1, [&](int fd) { sent = hostile::Device::PingWithoutReading(fd, 64ull << 20); });
    const int64_t before = hostile::RssBytes();
    std::shared_ptr<tmcc::SessionClient> client;
    if (purpose == pr::Purpose::kControl) {
      auto c = std::make_shared<tmcc::LoginClient>();
      c->Open(Params(device.port(), purpose));
      client = c;
    } else {
      auto c = std::make_shared<tmcc::StreamClient>();
      c->OpenStream(Params(device.port(), purpose));
      client = c;
    }
    WaitFor([&] { return sent.load() > 0; }, 30s);
    Report(purpose == pr::Purpose::kControl ? "2 ping flood, pongs unread (control)"
                                            : "2 ping flood, pongs unread (stream)",
           before, hostile::RssBytes(),
           "sent " + std::to_string(sent.load() >> 20) +
               " MiB of 64, session up: " + std::to_string(client->IsUp()));
    client->Shutdown();
  }
  {  // 4
    const int64_t before = hostile::RssBytes();
    hostile::Tricklers idle(ip, listener->port(), 250, 1000ms, true, 30s);
    WaitFor([&] { return listener->counts().accepted >= 250; }, 20s);
    hostile::Tricklers slow(ip, listener->port(), 250, 1000ms, false, 30s);
    WaitFor([&] { return slow.open() + slow.failed() + slow.cut() >= 250; }, 20s);
    const int base = alarms.load();
    const auto start = std::chrono::steady_clock::now();
    const bool acked = hostile::SendAlarm(ip, listener->port(), "127.0.0.2", {1, 3, 1, ""});
    WaitFor([&] { return alarms.load() > base; }, 5s);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    auto counts = listener->counts();
    Report("4 500 slow/idle alarm peers", before, hostile::RssBytes(),
           std::string("device alarm ") + (acked ? "acknowledged" : "REFUSED") + " in " +
               std::to_string(ms) + " ms; open " + std::to_string(listener->connections()) +
               ", shed " + std::to_string(counts.shed));
  }
  listener->Shutdown();
  return 0;
}
