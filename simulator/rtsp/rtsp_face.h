// The RTSP face of a simulated device (RFC 2326, RTP over the RTSP connection
// per RFC 2326 10.12, H.264 per RFC 6184 or H.265 per RFC 7798 when the
// device streams H.265): a standard camera's view of the same video the
// device protocol streams.
//
//   rtsp://ADDRESS:PORT/stream0   the main stream
//   rtsp://ADDRESS:PORT/stream1   the second stream (the same media)
//
// At most 64 connections at a time; more are closed at once. Each path has
// one H.264 (or H.265) track, "trackID=1" below it. Methods: OPTIONS,
// DESCRIBE, SETUP (RTP/AVP/TCP interleaved, or unicast RTP/AVP over UDP sent
// from the device's address to the RTSP peer's address only), PLAY, PAUSE,
// GET_PARAMETER (keep-alive), TEARDOWN. Everything except OPTIONS
// needs Digest authentication (MD5, qop=auth) with the device's user and
// password, against a nonce drawn fresh for each connection; each answer must
// count its nc past the last one accepted, so none can be replayed. Viewers are
// paced at the frame rate, also in flood mode; throttling applies to TCP
// viewers, and the injected malformed or oversized frames to none.
//
// Threading: the device makes its face and binds it (Listen) before it serves
// anything; from then on everything here runs on the device's strand, and the
// device calls in from there only.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simulator/device/media_source.h"
#include "simulator/simulator.h"

namespace qrv::sim {

// What the face needs from its device; called on the device's strand only.
class RtspHost {
 public:
  virtual ~RtspHost() = default;
  virtual MediaSource& RtspSource() = 0;
  virtual bool RtspRefusesLogins() const = 0;
  virtual bool RtspMediaStopped() const = 0;  // Device::StopMedia was called
  virtual bool Stalled() const = 0;
  virtual uint64_t ThrottleBytesPerSecond() const = 0;
  // Changes the observations under their lock and wakes waiters.
  virtual void RecordRtsp(const std::function<void(Observations&)>& change) = 0;
};

class RtspConnection;

class RtspFace {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;

  RtspFace(Strand strand, const DeviceConfig& config, std::weak_ptr<RtspHost> host);
  ~RtspFace();

  bool enabled() const { return config_.rtspPort != 0; }
  // Binds the listener (a no-op when disabled). Before serving, or on the
  // strand; false with *error when the port cannot be bound.
  bool Listen(std::string* error);
  void BeginServing();      // starts accepting
  void StopServing();       // closes the listener and every connection
  void CloseConnections();  // closes every connection, keeps listening
  // Sends held answers and media again after a stall.
  void Resume();

  // Whether a connection is playing (so the device encodes frames).
  bool HasViewers() const;
  // One frame of the device's video for every playing connection.
  void Deliver(const SourceFrame& frame);

  // Called by connections.
  void OnClosed(RtspConnection& connection);
  const DeviceConfig& config() const { return config_; }

 private:
  void Accept(uint64_t generation);

  Strand strand_;
  const DeviceConfig& config_;
  std::weak_ptr<RtspHost> host_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;
  std::vector<std::shared_ptr<RtspConnection>> connections_;
  uint64_t generation_ = 0;
};

}  // namespace qrv::sim
