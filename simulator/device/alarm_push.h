// One alarm pushed from a device to the host's alarm listener: connect from
// the device's own address, send the Alarm frame, wait for its AlarmAck.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tmcc/common/codec/messages.h"
#include "tmcc/native/connection/framed_connection.h"

namespace qrv::sim {

class AlarmPush : public std::enable_shared_from_this<AlarmPush>,
                  private tmcc::connection::Handler {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  // done(true) once the listener acknowledged, done(false) on any failure or
  // after the time-out. Called exactly once, on the strand.
  using Done = std::function<void(bool)>;

  static void Start(Strand strand, const std::string& localAddress, const std::string& host,
                    uint16_t port, const tmcc::protocol::Alarm& alarm, uint32_t requestId,
                    std::chrono::milliseconds timeout, Done done);

  ~AlarmPush();

 private:
  AlarmPush(Strand strand, Done done);
  void Finish(bool ok);
  bool OnFrame(tmcc::connection::FramedConnection& c,
               const tmcc::protocol::FrameView& frame) override;
  void OnClosed(tmcc::connection::FramedConnection& c,
                tmcc::connection::CloseReason reason) override;

  Strand strand_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  Done done_;
  std::vector<uint8_t> frame_;
  std::shared_ptr<tmcc::connection::FramedConnection> connection_;
  uint32_t requestId_ = 0;
  bool finished_ = false;
};

}  // namespace qrv::sim
