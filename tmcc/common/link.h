// What a client keeps up to a device, whatever the protocol: a link is
// started once, carries requests (where the protocol has them) and stream
// data, and ends either on request or by loss. Our protocol's Session and the
// standard cameras' RtspSession and OnvifSession are links; SessionClient picks
// one by the parameters' backend and handles reconnection the same way for all.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc {

using Strand = asio::strand<asio::io_context::executor_type>;

// Which protocol a device speaks, decided from its address and port alone.
enum class Backend : uint8_t { kNative, kRtsp, kOnvif };

struct SessionParams {
  asio::ip::address address;
  uint16_t port = 0;
  std::string user;
  std::string password;
  protocol::Purpose purpose = protocol::Purpose::kControl;
  uint8_t streamType = 0;
  std::chrono::milliseconds timeout{3000};
  Backend backend = Backend::kNative;
  // kRtsp: the presentation URL without credentials (request lines).
  std::string rtspUrl;
  // kRtsp and kOnvif streams: RTP over UDP instead of interleaved on the
  // RTSP connection.
  bool rtpOverUdp = false;
  // kRtsp streams: a playing camera without a picture for this long is given
  // up (kRtspPictureTime when unset; tests shorten it).
  std::optional<std::chrono::milliseconds> pictureTime;
  // kRtsp logins: how often the camera is checked for accepting connections
  // (kRtspLoginCheck when unset; tests shorten it).
  std::optional<std::chrono::milliseconds> loginCheck;
  // kOnvif: the device service's path (and query) on address:port.
  std::string onvifPath;
  // The handle of the client the link belongs to (0: none); a standard
  // camera's alarms are tied to it.
  int32_t clientHandle = 0;
  // kRtsp and kOnvif: the password may go out in Basic authentication
  // (TMCC_ALLOW_BASIC names the device).
  bool allowBasic = false;
};

class Link;

// Told about an established link's traffic and end. Called on the link's
// strand only, and never after Link::Close().
class SessionOwner {
 public:
  virtual void OnSessionStream(Link& link, const protocol::StreamData& data) = 0;
  virtual void OnSessionLost(Link& link, int32_t reason) = 0;
  // Pictures a stream dropped and RTP packets it found missing since the last
  // call (standard cameras only).
  virtual void OnSessionLoss(Link& link, uint64_t picturesDropped, uint64_t packetsLost) {
    (void)link;
    (void)picturesDropped;
    (void)packetsLost;
  }

 protected:
  ~SessionOwner() = default;
};

class Link {
 public:
  // result: kOk once logged in, else the failure's result code.
  using EstablishedHandler = std::function<void(int32_t result)>;
  // answer is valid only during the call (its data points into the buffer).
  using AnswerHandler = std::function<void(int32_t result, const protocol::Answer* answer)>;

  virtual ~Link() = default;

  // Everything below runs on the owner's strand.
  virtual void Start(EstablishedHandler done) = 0;
  virtual void Send(const protocol::Request& request, AnswerHandler done) = 0;
  // Ends the link without telling the owner; pending work fails with kErrClosed.
  virtual void Close() = 0;
  // Why the request just answered with a failure failed, in a few words
  // (empty when the link gives none). On the strand, from inside the
  // AnswerHandler: the next failure replaces it.
  virtual std::string FailureReason() const { return {}; }
};

}  // namespace qrv::tmcc
