// Answers discovery probes for the devices of one simulator on one UDP port.
// The socket is bound to 0.0.0.0 with address and port reuse, so several
// simulators (and processes) on one machine all hear a broadcast probe.
#pragma once

#include <asio.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulator/simulator.h"

namespace qrv::sim {

class DiscoveryResponder : public std::enable_shared_from_this<DiscoveryResponder> {
 public:
  // Null and *error set when the port cannot be bound.
  static std::shared_ptr<DiscoveryResponder> Create(asio::io_context& io, uint16_t port,
                                                    std::string* error);
  // Any thread.
  void AddDevice(const std::shared_ptr<Device::Impl>& device);
  void Close();

 private:
  DiscoveryResponder(asio::io_context& io, uint16_t port);
  void Receive();
  void Answer(size_t length);

  asio::strand<asio::io_context::executor_type> strand_;
  asio::ip::udp::socket socket_;
  uint16_t port_;
  std::array<uint8_t, 512> buffer_{};
  asio::ip::udp::endpoint sender_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<Device::Impl>> devices_;
};

}  // namespace qrv::sim
