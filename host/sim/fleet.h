// A set of simulated devices on consecutive loopback addresses, for the demo,
// the end-to-end tests and the benchmark.
//
// Threads: Start and the destructor on the owning thread; the simulator's own
// functions are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/kit/requests.h"
#include "simulator/simulator.h"

namespace qrv::host {

struct FleetOptions {
  std::string baseAddress = "127.0.0.11";
  int count = 4;
  uint16_t controlPort = 6001;
  std::string user = "admin";
  std::string password = "admin";
  std::string identityPrefix = "QRV-DEMO-";
  sim::MediaSettings media;
  bool replay = false;
  bool flood = false;
  bool answerDiscovery = true;
  int ioThreads = 2;
  // Standard-camera faces of every device (0: none); see sim::DeviceConfig.
  uint16_t rtspPort = 0;
  uint16_t onvifPort = 0;
  bool onvifMulticast = false;
  // Where devices push alarms (a port nobody listens on keeps them to the
  // ONVIF face's pull points).
  uint16_t alarmPort = 5005;
};

class Fleet {
 public:
  // Starts `count` devices; null with *error when any cannot start.
  static std::unique_ptr<Fleet> Start(const FleetOptions& options, std::string* error);

  size_t size() const { return devices_.size(); }
  sim::Device& device(size_t index) { return *devices_[index]; }
  const std::string& address(size_t index) const { return addresses_[index]; }
  Credentials credentials(size_t index) const;
  // The same device logged in to as a standard camera through its ONVIF face.
  Credentials onvifCredentials(size_t index) const;
  sim::Simulator& simulator() { return *simulator_; }

 private:
  FleetOptions options_;
  std::unique_ptr<sim::Simulator> simulator_;
  std::vector<sim::Device*> devices_;
  std::vector<std::string> addresses_;
};

// The loopback address `index` places after `base` (127.a.b.c), counting
// only last octets 1..254; empty when the result would leave 127.0.0.0/8 or
// `base` is not a 127.x.y.z address.
std::string LoopbackAddress(const std::string& base, int index);

// A base address 127.X.Y.1 that differs between processes (from the process
// id and `salt`), so parallel test programs do not collide on fixed ports.
std::string ProcessLoopbackBase(int salt);

}  // namespace qrv::host
