// Shared set-up for the simulator's network tests: a simulator with devices on
// this process's own loopback addresses.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "simulator/simulator.h"
#include "tests/simulator/test_client.h"

namespace qrv::sim::test {

class SimulatorTest : public ::testing::Test {
 protected:
  // A small, fast device on address index `index`; discovery is off unless a
  // test turns it on (it would need the shared discovery port).
  static DeviceConfig SmallDevice(int index) {
    DeviceConfig c;
    c.address = TestAddress(index);
    c.user = "operator";
    c.password = "s3cret";
    c.media = MediaSettings{320, 180, 25, 1000};
    c.answerDiscovery = false;
    return c;
  }

  Device& Add(const DeviceConfig& config) {
    std::string error;
    Device* device = sim_.AddDevice(config, &error);
    if (!device) throw std::runtime_error(error);
    return *device;
  }

  // A control session logged in with the device's own credentials.
  std::unique_ptr<TestClient> LoggedIn(const Device& device) {
    auto client = std::make_unique<TestClient>();
    const auto& c = device.Config();
    if (!client->Connect(c.address, c.controlPort)) return nullptr;
    auto status = client->Login(tmcc::protocol::Purpose::kControl, 0, c.user, c.password);
    if (status != tmcc::protocol::LoginStatus::kAccepted) return nullptr;
    return client;
  }

  Simulator sim_;
};

}  // namespace qrv::sim::test
