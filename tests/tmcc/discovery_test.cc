// Discovery over loopback broadcast: every device's answer reaches the
// enumeration callback once per probe round with the record bytes in place.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "simulator/simulator.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"

namespace dl = qrv::devicelib;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

struct Found {
  std::mutex mutex;
  std::map<std::string, int> count;  // identity -> answers reported
  std::map<std::string, dl::ServerInfoRecord> last;
  int Count(const std::string& id) {
    std::lock_guard lock(mutex);
    return count.count(id) ? count[id] : 0;
  }
};

int32_t QRV_CALLBACK OnServer(dl::ServerInfoRecord* info, void* context) {
  auto* found = static_cast<Found*>(context);
  std::lock_guard lock(found->mutex);
  std::string id(info->identity);
  found->count[id]++;
  found->last[id] = *info;
  return 1;
}

}  // namespace

TEST(Discovery, AnswersCarryIdentityMacAddressMaskAndPortOncePerRound) {
  qrv::sim::Simulator sim;
  std::vector<qrv::sim::DeviceConfig> configs;
  for (int i = 0; i < 2; ++i) {
    qrv::sim::DeviceConfig c;
    c.address = qrv::test::LoopbackAddress(30 + i);
    c.identity = "SN-" + std::to_string(getpid()) + (i == 0 ? "-a" : "-A");  // case matters
    c.mac = {0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(i), 0x7F};
    c.controlPort = static_cast<uint16_t>(6001 + 2 * i);
    c.mask = "255.255.0.0";
    c.answerDiscovery = true;
    std::string error;
    ASSERT_NE(sim.AddDevice(c, &error), nullptr) << error;
    configs.push_back(c);
  }

  Found found;
  int32_t h = TMCC_Init(dl::kClientEnumeration);
  TMCC_RegisterEnumServerCallBack(h, OnServer, &found);
  EXPECT_EQ(TMCC_RefreshEnum(h), dl::kErrNotConnected);  // not started yet
  ASSERT_EQ(TMCC_StartEnum(h), dl::kOk);
  EXPECT_EQ(TMCC_StartEnum(h), dl::kErrBusy);
  for (auto& c : configs) {
    ASSERT_TRUE(WaitUntil([&] { return found.Count(c.identity) == 1; }, 5s)) << c.identity;
  }
  for (auto& c : configs) {
    std::lock_guard lock(found.mutex);
    const auto& r = found.last[c.identity];
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(r.size, 256u);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 37), c.identity.c_str());
    EXPECT_EQ(std::memcmp(bytes + 101, c.mac.data(), 6), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 107), c.address.c_str());
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 132), "255.255.0.0");
    uint16_t port;
    std::memcpy(&port, bytes + 192, 2);
    EXPECT_EQ(port, c.controlPort);
  }

  // A refresh reports every device again, once more.
  ASSERT_EQ(TMCC_RefreshEnum(h), dl::kOk);
  for (auto& c : configs) {
    EXPECT_TRUE(WaitUntil([&] { return found.Count(c.identity) == 2; }, 5s)) << c.identity;
  }
  EXPECT_EQ(TMCC_StopEnum(h), dl::kOk);
  EXPECT_EQ(TMCC_RefreshEnum(h), dl::kErrNotConnected);
  int total;
  {
    std::lock_guard lock(found.mutex);
    total = found.count[configs[0].identity] + found.count[configs[1].identity];
  }
  EXPECT_EQ(total, 4);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}
