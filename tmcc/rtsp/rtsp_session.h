// A link to a standard camera over RTSP (RFC 2326) with RTP interleaved on
// the same TCP connection.
//
// Stream purpose: OPTIONS, DESCRIBE, SETUP of the first H.264 or H.265
// track, PLAY, then RTP (interleaved, or over UDP when asked) put back
// together into access units (RFC 6184, RFC 7798) and handed to the owner as
// stream data: a header (the parameter sets) before the first picture and
// whenever they change, then pictures, key frames flagged. A keep-alive goes
// out at half the session's timeout; closing sends TEARDOWN,
// best effort, bounded.
//
// Control purpose ("login"): OPTIONS and DESCRIBE with the credentials, then
// the connection is closed. RTSP has no control connection to keep, so every
// kRtspLoginCheck (SessionParams::loginCheck) the camera is checked by a bare
// TCP connection, closed at once: one not accepted within the time-out ends
// the link (kErrNotConnected), so the owner sees the camera gone and restores
// the login as for our protocol. Requests are refused.
//
// Every challenge is answered once (Digest or Basic, as offered); the same
// challenge again is a refused login. The camera is untrusted: the receive
// buffer is bounded, each message or packet begun must arrive whole within
// kRtspItemTime, and a playing camera silent for kRtspSilence, or without a
// picture for the picture time (kRtspPictureTime, or SessionParams::pictureTime)
// since its last one, is given up.
//
// While playing, reads go into one buffer of kRtspReadBound (a read takes
// what the socket holds), and no timer is touched per read or picture: the
// times of the last item and the last picture are noted, and one watch timer,
// due when the first of those limits would run out, checks them.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/common/link.h"
#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/h264_depacketizer.h"
#include "tmcc/rtsp/codec/message.h"
#include "tmcc/rtsp/codec/sdp.h"
#include "tmcc/rtsp/rtp_udp_receiver.h"

namespace qrv::tmcc {

inline constexpr std::chrono::milliseconds kRtspItemTime{10000};
inline constexpr std::chrono::milliseconds kRtspSilence{10000};
inline constexpr std::chrono::milliseconds kRtspTeardownTime{1000};
// A playing camera that sends something (keep-alive answers, RTCP) but no
// picture for this long is given up like a silent one: its stream is dead.
inline constexpr std::chrono::milliseconds kRtspPictureTime{10000};
// A logged-in camera is checked for accepting connections this often.
inline constexpr std::chrono::milliseconds kRtspLoginCheck{5000};
// A set-up request answered 503 (Service Unavailable) is sent again this many
// times at most, after the answer's Retry-After or kRtspBusyWait, within the
// set-up time-out: a camera tearing down a shared stream a client just left
// (our own login, say) answers 503 for a moment.
inline constexpr int kRtspBusyRetries = 3;
inline constexpr std::chrono::milliseconds kRtspBusyWait{250};
// An interleaved packet (64 KiB) or a message (header block and body) fits;
// while playing, the receive buffer has this size from the start.
inline constexpr size_t kRtspReadBound = 160 * 1024;
// Requests are small; a camera that does not read them is cut past this.
inline constexpr size_t kRtspQueueBound = 64 * 1024;

class RtspSession : public Link, public std::enable_shared_from_this<RtspSession> {
 public:
  RtspSession(Strand strand, SessionParams params, SessionOwner* owner);
  ~RtspSession() override;

  // Threading: everything below runs on the strand given; the owner is
  // called from there with no lock of this class held.
  void Start(EstablishedHandler done) override;
  // RTSP carries none of our requests: answered kErrUnsupported.
  void Send(const protocol::Request& request, AnswerHandler done) override;
  void Close() override;
  // Why the set-up (or a playing stream) failed: the request and the
  // camera's status line, the time-out, the address tried, the first thing of
  // an answer that could not be read. Threading: the strand.
  std::string FailureReason() const override { return reason_; }

 private:
  enum class Phase {
    kConnecting,
    kOptions,
    kDescribe,
    kSetup,
    kPlay,
    kPlaying,
    kChecked,
    kProbing,  // logged in, a check connection under way
    kClosed
  };

  bool LoggedIn() const { return phase_ == Phase::kChecked || phase_ == Phase::kProbing; }
  void OnConnected(const asio::error_code& ec);
  void SendRequest(std::string method, std::string uri, std::vector<rtsp::Header> headers);
  void Resend();
  void Read();
  void OnRead(const asio::error_code& ec, size_t n);
  // false when the link ended
  bool HandleResponse(const rtsp::Response& response);
  bool HandleSetupAnswer(const rtsp::Response& response);
  // 503 in set-up: true when the request goes out again later.
  bool RetryWhenBusy(const rtsp::Response& response);
  void HandlePacket(uint8_t channel, std::span<const uint8_t> packet);
  void OnDatagram(std::span<const uint8_t> packet);
  void Deliver(std::chrono::steady_clock::time_point now);
  void ReportLoss();
  void ScheduleKeepAlive();
  // Logged in: the next check connection after the check interval.
  void ScheduleLoginCheck();
  // Playing: gives the camera up when it ran out of a time limit, else sets
  // the watch for when the first would run out.
  void WatchPlaying();
  void Write(std::string bytes);
  void WriteNext();
  void ArmDeadline(std::chrono::milliseconds after);
  void Fail(int32_t result, std::string reason);
  // "<METHOD>: <what>" for the request being set up (the connection before one).
  std::string During(std::string_view what) const;
  std::string Where() const;  // "address:port" of the camera
  // closeSocket false: kept for a TEARDOWN still to go out.
  void Finish(int32_t reason, bool tellOwner, bool closeSocket);
  void CloseSocket();

  Strand strand_;
  SessionParams params_;
  SessionOwner* owner_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  asio::steady_timer keepAlive_;
  // Playing: checks the two times below when the first limit would run out,
  // not re-armed per read or picture: the packet path stays free of timer
  // work.
  asio::steady_timer playWatch_;
  std::chrono::steady_clock::time_point lastPictureAt_{};
  const std::chrono::milliseconds pictureTime_;
  const std::chrono::milliseconds loginCheck_;
  // Playing: when an item (packet or message) last completed; an item begun
  // since must complete within kRtspItemTime of it, and with nothing begun
  // the camera must send within kRtspSilence of it.
  std::chrono::steady_clock::time_point lastItemAt_{};
  asio::steady_timer busyRetry_;
  Phase phase_ = Phase::kConnecting;
  EstablishedHandler established_;

  std::vector<uint8_t> in_;
  size_t inUsed_ = 0;
  std::deque<std::string> out_;
  size_t outBytes_ = 0;
  bool writing_ = false;

  rtsp::Authenticator auth_;
  uint32_t cseq_ = 0;
  uint32_t awaitedCseq_ = 0;  // the setup step's request
  bool challenged_ = false;   // the setup step's request was answered 401 once
  int busyRetries_ = 0;       // 503 answers taken in this set-up
  std::string method_;        // the setup step's request, to send again after a 401
  std::string uri_;
  std::vector<rtsp::Header> headers_;
  std::string reason_;  // the failure's, once failed

  bool getParameter_ = false;  // OPTIONS offered GET_PARAMETER for keep-alives
  rtsp::SessionDescription description_;
  std::string sessionId_;
  std::chrono::seconds sessionTimeout_{60};
  uint8_t rtpChannel_ = 0;

  std::shared_ptr<RtpUdpReceiver> udp_;  // RTP over UDP only
  std::optional<rtsp::H264Depacketizer> depacketizer_;
  std::vector<rtsp::H264Unit> units_;
  uint32_t clockRate_ = 90000;
  bool haveTimestamp_ = false;
  uint32_t lastTimestamp_ = 0;
  int64_t elapsedTicks_ = 0;
  uint32_t sequence_ = 0;
  uint64_t reportedDropped_ = 0;
  uint64_t reportedLost_ = 0;
};

}  // namespace qrv::tmcc
