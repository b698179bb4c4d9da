// The ONVIF face of one simulated device: a small HTTP/1.1 server taking SOAP
// 1.2 requests for the device, media, PTZ and event services (and a digest
// protected snapshot), and a WS-Discovery responder. Both sit on the device's
// own loopback address; every peer is untrusted, so requests, connections,
// subscriptions and event queues are all bounded.
//
// Threading: everything inside runs on the face's own strand. Create and
// OnAlarm may be called from any thread, including the device's strand; Close
// from any thread but the network threads (it waits). The face calls its
// OnvifDevice from its strand only.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simulator/simulator.h"

namespace qrv::sim {

// What the face needs of its device. Called on the face's strand; the
// implementation must not block on the face.
class OnvifDevice {
 public:
  virtual ~OnvifDevice() = default;
  virtual MediaSettings OnvifMedia() const = 0;
  virtual PtzPosition OnvifPtzPosition() const = 0;
  // A pan-tilt-zoom request in the device's own codes (see simulator.h).
  virtual int32_t OnvifPtz(int32_t code, int32_t param1, int32_t param2) = 0;
  // Calls done, from any thread, with the JPEG of the current picture (empty
  // when there is none).
  virtual void OnvifSnapshot(std::function<void(std::vector<uint8_t>)> done) = 0;
};

struct OnvifFaceOptions {
  std::string address;  // the device's loopback address
  uint16_t port = 0;    // HTTP
  uint16_t discoveryPort = 3702;
  bool multicastDiscovery = false;  // also join 239.255.255.250 on loopback
  uint16_t rtspPort = 554;          // what GetStreamUri answers
  std::string user;
  std::string password;
  std::string model;
  std::string name;      // shown in the discovery scopes
  std::string endpoint;  // "urn:uuid:...", stable per device
  // The device's clock runs this far from ours: what GetSystemDateAndTime
  // answers and what tokens and subscriptions are judged by.
  int64_t clockOffsetSeconds = 0;
};

class OnvifFace : public std::enable_shared_from_this<OnvifFace> {
 public:
  // Binds the HTTP and discovery sockets; null and *error set when one cannot
  // be bound. Any thread.
  static std::shared_ptr<OnvifFace> Create(asio::io_context& io, OnvifFaceOptions options,
                                           std::weak_ptr<OnvifDevice> device, std::string* error);
  ~OnvifFace();

  // Closes every socket and waits (bounded) until that is done; nothing runs
  // afterwards. Any thread but the simulator's network threads; idempotent.
  void Close();
  // An alarm the device raised: queued for every live pull-point
  // subscription. Negative values are digital input -value going active,
  // others motion. Any thread.
  void OnAlarm(int32_t value);

  class Impl;

 private:
  explicit OnvifFace(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace qrv::sim
