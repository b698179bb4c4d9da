#include "simulator/device/discovery_responder.h"

#include <sys/socket.h>

#include "simulator/device/device_impl.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;

DiscoveryResponder::DiscoveryResponder(asio::io_context& io, uint16_t port)
    : strand_(asio::make_strand(io)), socket_(strand_), port_(port) {}

std::shared_ptr<DiscoveryResponder> DiscoveryResponder::Create(asio::io_context& io, uint16_t port,
                                                               std::string* error) {
  std::shared_ptr<DiscoveryResponder> r(new DiscoveryResponder(io, port));
  asio::error_code ec;
  r->socket_.open(asio::ip::udp::v4(), ec);
  if (!ec) r->socket_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec)
    r->socket_.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>(true), ec);
  if (!ec) r->socket_.bind({asio::ip::address_v4::any(), port}, ec);
  if (ec) {
    if (error)
      *error = "cannot bind the discovery port " + std::to_string(port) + ": " + ec.message();
    return nullptr;
  }
  asio::post(r->strand_, [r] { r->Receive(); });
  return r;
}

void DiscoveryResponder::AddDevice(const std::shared_ptr<Device::Impl>& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.push_back(device);
}

void DiscoveryResponder::Close() {
  asio::post(strand_, [self = shared_from_this()] {
    asio::error_code ignored;
    self->socket_.close(ignored);
  });
}

void DiscoveryResponder::Receive() {
  socket_.async_receive_from(
      asio::buffer(buffer_), sender_,
      [self = shared_from_this()](const asio::error_code& error, size_t length) {
        if (error == asio::error::operation_aborted || !self->socket_.is_open()) return;
        if (!error) self->Answer(length);
        self->Receive();
      });
}

void DiscoveryResponder::Answer(size_t length) {
  auto decoded = proto::DecodeFrame(std::span<const uint8_t>(buffer_.data(), length));
  // One datagram is one whole frame; anything else is ignored.
  if (decoded.status != proto::DecodeStatus::kFrame || decoded.consumed != length ||
      decoded.frame.type != proto::MessageType::kProbe)
    return;
  auto probe = proto::ParseProbe(decoded.frame.payload);
  if (!probe) return;
  std::vector<std::shared_ptr<Device::Impl>> devices;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& weak : devices_)
      if (auto d = weak.lock()) devices.push_back(std::move(d));
  }
  for (auto& device : devices) {
    if (!device->AnswersDiscovery(port_)) continue;
    std::vector<uint8_t> frame;
    if (!proto::BuildProbeAnswer(frame, decoded.frame.requestId,
                                 device->MakeProbeAnswer(probe->probeId)))
      continue;
    asio::error_code ignored;
    socket_.send_to(asio::buffer(frame), sender_, 0, ignored);
    if (!ignored) device->NoteDiscoveryAnswer();
  }
}

}  // namespace qrv::sim
