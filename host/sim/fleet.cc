#include "host/sim/fleet.h"

#include <unistd.h>

#include <cstdio>

namespace qrv::host {

std::string LoopbackAddress(const std::string& base, int index) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  if (std::sscanf(base.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a != 127 ||
      b > 255 || c > 255 || d < 1 || d > 254 || index < 0) {
    return "";
  }
  // Position among usable addresses, each /24 holding the last octets 1..254.
  uint64_t position = (uint64_t{b} * 256 + c) * 254 + (d - 1) + static_cast<uint64_t>(index);
  uint64_t last = position % 254 + 1;
  uint64_t block = position / 254;
  if (block >= 256 * 256) return "";
  char text[16];
  std::snprintf(text, sizeof text, "127.%u.%u.%u", static_cast<unsigned>(block / 256),
                static_cast<unsigned>(block % 256), static_cast<unsigned>(last));
  return text;
}

std::string ProcessLoopbackBase(int salt) {
  // Second octet 200..249 keeps clear of 127.0.0.x, where the demo runs.
  unsigned pid = static_cast<unsigned>(getpid());
  unsigned b = 200 + (pid + static_cast<unsigned>(salt) * 7) % 50;
  unsigned c = (pid / 50) % 256;
  char text[16];
  std::snprintf(text, sizeof text, "127.%u.%u.1", b, c);
  return text;
}

Credentials Fleet::credentials(size_t index) const {
  return {addresses_[index], options_.user, options_.password, options_.controlPort};
}

Credentials Fleet::onvifCredentials(size_t index) const {
  return {addresses_[index], options_.user, options_.password, options_.onvifPort};
}

std::unique_ptr<Fleet> Fleet::Start(const FleetOptions& options, std::string* error) {
  auto fleet = std::unique_ptr<Fleet>(new Fleet());
  fleet->options_ = options;
  sim::SimulatorOptions simOptions;
  simOptions.ioThreads = options.ioThreads;
  fleet->simulator_ = std::make_unique<sim::Simulator>(simOptions);
  for (int i = 0; i < options.count; ++i) {
    std::string address = LoopbackAddress(options.baseAddress, i);
    if (address.empty()) {
      *error = "no loopback address " + std::to_string(i) + " after " + options.baseAddress;
      return nullptr;
    }
    sim::DeviceConfig config;
    config.address = address;
    config.controlPort = options.controlPort;
    config.user = options.user;
    config.password = options.password;
    char identity[64];
    std::snprintf(identity, sizeof identity, "%s%03d", options.identityPrefix.c_str(), i + 1);
    config.identity = identity;
    config.media = options.media;
    config.replay = options.replay;
    config.flood = options.flood;
    config.answerDiscovery = options.answerDiscovery;
    config.rtspPort = options.rtspPort;
    config.onvifPort = options.onvifPort;
    config.onvifMulticast = options.onvifMulticast;
    config.alarmPort = options.alarmPort;
    std::string why;
    sim::Device* device = fleet->simulator_->AddDevice(config, &why);
    if (device == nullptr) {
      *error = "device at " + address + " did not start: " + why;
      return nullptr;
    }
    fleet->devices_.push_back(device);
    fleet->addresses_.push_back(address);
  }
  return fleet;
}

}  // namespace qrv::host
