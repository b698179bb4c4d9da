// The teardown guarantee under load: closing a stream while the library is
// delivering waits for the running callback, no callback starts afterwards,
// and a close from inside the client's own callback does not deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "simulator/simulator.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"

namespace dl = qrv::devicelib;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 1000;
#else
constexpr int kCycles = 2000;
#endif

struct Cycle {
  int32_t handle = 0;
  bool closeInside = false;
  std::atomic<int> running{0};
  std::atomic<int> calls{0};
  std::atomic<bool> closedInside{false};
  int callsAtClose = 0;
};

int32_t QRV_CALLBACK OnPacket(int32_t handle, dl::StreamPacket* packet, void* context) {
  auto* c = static_cast<Cycle*>(context);
  c->running.fetch_add(1);
  c->calls.fetch_add(1);
  volatile uint8_t sum = 0;  // touch the data: it must still be there
  for (int32_t i = 0; i < packet->length; i += 64) sum = sum + packet->data[i];
  if (c->closeInside && !c->closedInside.load()) {
    TMCC_CloseStream(handle);
    TMCC_Done(handle);
    c->closedInside = true;
  }
  c->running.fetch_sub(1);
  return 0;
}

}  // namespace

TEST(Teardown, ThousandsOfClosesWhileDeliveringNeverLeaveACallbackRunning) {
  qrv::sim::Simulator sim;
  qrv::sim::DeviceConfig config;
  config.address = qrv::test::LoopbackAddress(20);
  config.user = "admin";
  config.password = "pw";
  config.media = qrv::sim::MediaSettings{160, 96, 25, 10};
  config.replay = true;
  config.flood = true;  // packets as fast as the library takes them
  config.answerDiscovery = false;
  std::string error;
  ASSERT_NE(sim.AddDevice(config, &error), nullptr) << error;

  dl::StreamConnectRecord record{};
  record.size = sizeof(record);
  std::strncpy(record.deviceIp, config.address.c_str(), sizeof(record.deviceIp) - 1);
  record.streamPort = config.streamPort;
  std::strcpy(record.user, "admin");
  std::strcpy(record.password, "pw");

  std::vector<std::unique_ptr<Cycle>> cycles;
  for (int i = 0; i < kCycles; ++i) {
    auto cycle = std::make_unique<Cycle>();
    cycle->closeInside = i % 4 == 3;
    cycle->handle = TMCC_Init(dl::kClientStream);
    ASSERT_GT(cycle->handle, 0);
    TMCC_RegisterStreamCallBack(cycle->handle, OnPacket, cycle.get());
    ASSERT_EQ(TMCC_ConnectStream(cycle->handle, &record, 0), dl::kOk) << i;
    if (cycle->closeInside) {
      ASSERT_TRUE(WaitUntil([&] { return cycle->closedInside.load(); }, 10s)) << i;
      // Released from inside its own callback: the handle is gone.
      EXPECT_EQ(TMCC_CloseStream(cycle->handle), dl::kErrInvalidHandle);
    } else {
      ASSERT_TRUE(WaitUntil([&] { return cycle->calls.load() > 0; }, 10s)) << i;
      EXPECT_EQ(TMCC_CloseStream(cycle->handle), dl::kOk);
      EXPECT_EQ(cycle->running.load(), 0) << i;
      EXPECT_EQ(TMCC_Done(cycle->handle), dl::kOk);
    }
    cycle->callsAtClose = cycle->calls.load();
    cycles.push_back(std::move(cycle));
  }
  // No callback of a closed client started later.
  for (size_t i = 0; i < cycles.size(); ++i) {
    EXPECT_EQ(cycles[i]->calls.load(), cycles[i]->callsAtClose) << i;
    EXPECT_EQ(cycles[i]->running.load(), 0) << i;
  }
}
