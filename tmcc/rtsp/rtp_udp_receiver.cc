#include "tmcc/rtsp/rtp_udp_receiver.h"

namespace qrv::tmcc {

namespace {
constexpr size_t kMaxDatagram = 65536;
constexpr int kBindAttempts = 16;
}  // namespace

RtpUdpReceiver::RtpUdpReceiver(Strand strand) : rtp_(strand), rtcp_(strand) {}

bool RtpUdpReceiver::Open(const asio::ip::address& local) {
  // The system's free port, moved to an even one whose odd neighbour is free.
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    asio::error_code ec;
    Close();
    rtp_.open(local.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), ec);
    if (ec) return false;
    rtp_.bind({local, 0}, ec);
    if (ec) return false;
    uint16_t port = rtp_.local_endpoint(ec).port();
    if (ec) return false;
    if (port % 2 != 0) {
      rtp_.close(ec);
      rtp_.open(local.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), ec);
      if (port == 65535) continue;
      ++port;
      rtp_.bind({local, port}, ec);
      if (ec) continue;
    }
    rtcp_.open(local.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), ec);
    if (ec) return false;
    rtcp_.bind({local, static_cast<uint16_t>(port + 1)}, ec);
    if (ec) continue;
    rtpPort_ = port;
    return true;
  }
  Close();
  return false;
}

void RtpUdpReceiver::Start(const asio::ip::address& source, PacketHandler handler) {
  source_ = source;
  handler_ = std::move(handler);
  buffer_.resize(kMaxDatagram);
  rtcpBuffer_.resize(kMaxDatagram);
  ReceiveRtp();
  ReceiveRtcp();
}

void RtpUdpReceiver::Close() {
  asio::error_code ignored;
  rtp_.close(ignored);
  rtcp_.close(ignored);
}

void RtpUdpReceiver::ReceiveRtp() {
  rtp_.async_receive_from(
      asio::buffer(buffer_), from_,
      [self = shared_from_this()](const asio::error_code& ec, size_t n) {
        // An ICMP error from an earlier send may surface
        // here (Windows); anything else ends receiving.
        if (!self->rtp_.is_open() ||
            (ec && ec != asio::error::connection_reset && ec != asio::error::connection_refused)) {
          return;
        }
        if (!ec) {
          if (self->from_.address() != self->source_) {
            ++self->strangers_;
          } else if (self->handler_) {
            self->handler_({self->buffer_.data(), n});
          }
        }
        if (self->rtp_.is_open()) self->ReceiveRtp();
      });
}

void RtpUdpReceiver::ReceiveRtcp() {
  rtcp_.async_receive_from(
      asio::buffer(rtcpBuffer_), rtcpFrom_,
      [self = shared_from_this()](const asio::error_code& ec, size_t) {
        if (!self->rtcp_.is_open() ||
            (ec && ec != asio::error::connection_reset && ec != asio::error::connection_refused)) {
          return;
        }
        self->ReceiveRtcp();
      });
}

}  // namespace qrv::tmcc
