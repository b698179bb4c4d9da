#include "e2e/e2e_world.h"

#include <sys/resource.h>

#include <cstdlib>

namespace qrv::e2e {

World* World::instance_ = nullptr;

std::string PluginPath() {
  // QRV_E2E_PLUGIN tests another build of the plug-in, for example an installed one.
  const char* other = std::getenv("QRV_E2E_PLUGIN");
  return other != nullptr && *other != 0 ? other : QRV_PLUGIN_PATH;
}

void World::SetUp() {
  instance_ = this;
  // Hundreds of devices and their connections need more descriptors than the
  // usual soft limit.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::string error;
  fleet_ = host::Fleet::Start(fleetOptions_, &error);
  ASSERT_TRUE(fleet_) << error;
  plugin_ = host::PluginHost::Load(PluginPath(), &error);
  ASSERT_TRUE(plugin_) << error;
  host::EventHub::Instance().RegisterWith(plugin_->access());
  ASSERT_EQ(plugin_->Init(), 1);
  requests_ = std::make_unique<host::Requests>(plugin_->access());
}

void World::TearDown() {
  requests_.reset();
  plugin_.reset();  // Uninit, delete
  fleet_.reset();
}

}  // namespace qrv::e2e
