// RTP and RTCP over UDP for an RTSP stream (RFC 2326 12.39, client_port):
// two sockets on consecutive ports, even then odd, bound to the local address
// the RTSP connection uses. Datagrams from any address other than the
// camera's (the RTSP connection's peer) are dropped and counted: the server
// ports named in the Transport answer are never trusted over it. RTCP is
// read and dropped.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "tmcc/common/link.h"

namespace qrv::tmcc {

class RtpUdpReceiver : public std::enable_shared_from_this<RtpUdpReceiver> {
 public:
  // packet points into the receiver's buffer, valid during the call.
  using PacketHandler = std::function<void(std::span<const uint8_t> packet)>;

  explicit RtpUdpReceiver(Strand strand);

  // Everything below runs on the strand. Binds the pair; false when no pair
  // could be had.
  bool Open(const asio::ip::address& local);
  uint16_t rtpPort() const { return rtpPort_; }
  // Starts receiving; handler runs on the strand for every RTP datagram from
  // source, until Close (which may be called from inside it). The handler
  // is kept until the receiver goes: it must not own the receiver's owner.
  void Start(const asio::ip::address& source, PacketHandler handler);
  void Close();

  uint64_t strangers() const { return strangers_; }

 private:
  void ReceiveRtp();
  void ReceiveRtcp();

  asio::ip::udp::socket rtp_;
  asio::ip::udp::socket rtcp_;
  uint16_t rtpPort_ = 0;
  asio::ip::address source_;
  PacketHandler handler_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> rtcpBuffer_;
  asio::ip::udp::endpoint from_;
  asio::ip::udp::endpoint rtcpFrom_;
  uint64_t strangers_ = 0;
};

}  // namespace qrv::tmcc
