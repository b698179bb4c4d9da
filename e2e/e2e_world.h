// One plug-in and one set of simulated devices per end-to-end test program.
// The plug-in's state is process-wide (one slot table, first-registered
// callbacks, listeners on fixed ports), so each program Init's it once, in a
// GoogleTest environment, and every test shares it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/kit/event_hub.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/sim/fleet.h"

namespace qrv::e2e {

class World : public ::testing::Environment {
 public:
  explicit World(host::FleetOptions fleet) : fleetOptions_(std::move(fleet)) {}

  void SetUp() override;
  void TearDown() override;

  static World& Get() { return *instance_; }

  host::PluginHost& plugin() { return *plugin_; }
  IAccess& access() { return plugin_->access(); }
  host::Requests& requests() { return *requests_; }
  host::Fleet& fleet() { return *fleet_; }

 private:
  static World* instance_;
  host::FleetOptions fleetOptions_;
  std::unique_ptr<host::Fleet> fleet_;
  std::unique_ptr<host::PluginHost> plugin_;
  std::unique_ptr<host::Requests> requests_;
};

// The plug-in built beside the test programs (QRV_PLUGIN_PATH at build time).
std::string PluginPath();

}  // namespace qrv::e2e
