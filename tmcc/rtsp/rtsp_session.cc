#include "tmcc/rtsp/rtsp_session.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "devicelib/tmcc_errors.h"
#include "tmcc/common/receive_batch.h"
#include "tmcc/rtsp/auth_result.h"
#include "tmcc/rtsp/codec/interleaved.h"
#include "tmcc/rtsp/codec/text.h"
#include "tmcc/rtsp/codec/transport.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

namespace {

constexpr size_t kFirstRtspRead = 16 * 1024;
constexpr size_t kMinRtspReadRoom = 4 * 1024;

// "RTSP 404 Not Found", the camera's phrase bounded and printable.
std::string StatusText(const rtsp::Response& response) {
  std::string text = "RTSP " + std::to_string(response.status);
  std::string_view phrase = rtsp::TrimWhitespace(response.reason);
  if (phrase.size() > 64) phrase = phrase.substr(0, 64);
  if (!phrase.empty()) text += " ";
  for (char c : phrase) text += c >= 0x20 && c < 0x7F ? c : '?';
  return text;
}

std::string Seconds(std::chrono::milliseconds time) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g s", static_cast<double>(time.count()) / 1000.0);
  return text;
}

std::string SdpFailure(const rtsp::SdpResult& sdp) {
  switch (sdp.error) {
    case rtsp::SdpError::kTooLong:
      return "the session description is too long";
    case rtsp::SdpError::kNotSdp:
      return "the answer is not a session description";
    default:
      break;
  }
  if (sdp.offered.empty()) return "no video track offered";
  std::string offered;
  for (char c : sdp.offered.substr(0, 128)) offered += c >= 0x20 && c < 0x7F ? c : '?';
  return "no H.264 or H.265 video track (offered: " + offered + ")";
}

bool Offers(const rtsp::Response& options, std::string_view method) {
  for (auto value : options.headers.FindAll("Public")) {
    size_t start = 0;
    while (start <= value.size()) {
      size_t comma = value.find(',', start);
      auto item = rtsp::TrimWhitespace(value.substr(start, comma - start));
      if (rtsp::EqualsIgnoreCase(item, method)) return true;
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
  }
  return false;
}

}  // namespace

RtspSession::RtspSession(Strand strand, SessionParams params, SessionOwner* owner)
    : strand_(strand),
      params_(std::move(params)),
      owner_(owner),
      socket_(strand_),
      deadline_(strand_),
      keepAlive_(strand_),
      playWatch_(strand_),
      pictureTime_(params_.pictureTime.value_or(kRtspPictureTime)),
      loginCheck_(params_.loginCheck.value_or(kRtspLoginCheck)),
      busyRetry_(strand_),
      auth_(params_.user, params_.password, params_.allowBasic) {}

RtspSession::~RtspSession() = default;

void RtspSession::Start(EstablishedHandler done) {
  established_ = std::move(done);
  ArmDeadline(params_.timeout);
  asio::ip::tcp::endpoint endpoint(params_.address, params_.port);
  socket_.async_connect(
      endpoint, [self = shared_from_this()](const asio::error_code& ec) { self->OnConnected(ec); });
}

void RtspSession::Send(const protocol::Request&, AnswerHandler done) {
  done(dl::kErrUnsupported, nullptr);
}

void RtspSession::OnConnected(const asio::error_code& ec) {
  if (phase_ == Phase::kClosed) return;
  if (ec) {
    Fail(dl::kErrUnreachable, "no connection to " + Where() + " (" + ec.message() + ")");
    return;
  }
  asio::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  in_.resize(kFirstRtspRead);
  phase_ = Phase::kOptions;
  SendRequest("OPTIONS", params_.rtspUrl, {});
  Read();
}

// A setup step's request; kept so that a 401 can be answered by sending it
// again with the credentials.
void RtspSession::SendRequest(std::string method, std::string uri,
                              std::vector<rtsp::Header> headers) {
  method_ = std::move(method);
  uri_ = std::move(uri);
  headers_ = std::move(headers);
  challenged_ = false;
  Resend();
}

void RtspSession::Resend() {
  rtsp::OutgoingRequest request;
  request.method = method_;
  request.uri = uri_;
  request.headers = headers_;
  if (auto authorization = auth_.Authorization(method_, uri_)) {
    request.headers.push_back({"Authorization", *authorization});
  }
  awaitedCseq_ = ++cseq_;
  auto bytes = rtsp::BuildRtspRequest(request, awaitedCseq_);
  if (!bytes) {
    Fail(dl::kErrInvalidArgument, During("the URL or credentials cannot go on a request line"));
    return;
  }
  Write(std::move(*bytes));
}

void RtspSession::Read() {
  // Playing: the whole bound at once, so one read takes what the socket holds
  // (a frame of many packets) instead of a 16 KiB slice of it per wake-up.
  if (phase_ == Phase::kPlaying && in_.size() < kRtspReadBound) in_.resize(kRtspReadBound);
  if (inUsed_ + kMinRtspReadRoom > in_.size() && in_.size() < kRtspReadBound) {
    in_.resize(std::min(kRtspReadBound, in_.size() * 2));
  }
  if (inUsed_ == in_.size()) {
    Fail(dl::kErrProtocol,
         During("an item longer than " + std::to_string(kRtspReadBound / 1024) + " KiB"));
    return;
  }
  socket_.async_read_some(
      asio::buffer(in_.data() + inUsed_, in_.size() - inUsed_),
      [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->OnRead(ec, n); });
}

void RtspSession::OnRead(const asio::error_code& ec, size_t n) {
  if (phase_ == Phase::kClosed || LoggedIn()) return;
  if (ec) {
    // A camera that hangs up during the exchange was reached: it broke it.
    const bool closed = ec == asio::error::eof;
    Fail(phase_ == Phase::kPlaying ? dl::kErrNotConnected : dl::kErrProtocol,
         During(closed ? "the camera closed the connection"
                       : "connection lost (" + ec.message() + ")"));
    return;
  }
  inUsed_ += n;
  size_t offset = 0;
  bool ended = false;
  // Anything handled may end the link (a full queue, the owner closing it).
  while (!ended && phase_ != Phase::kClosed) {
    auto item =
        rtsp::SplitInterleaved(std::span<const uint8_t>(in_.data() + offset, inUsed_ - offset));
    if (item.kind == rtsp::InterleavedKind::kNeedMore) break;
    if (item.kind == rtsp::InterleavedKind::kError) {
      Fail(dl::kErrProtocol,
           During(std::string("malformed answer: ") + rtsp::MessageErrorName(item.error)));
      ended = true;
      break;
    }
    offset += item.consumed;
    switch (item.kind) {
      case rtsp::InterleavedKind::kPacket:
        HandlePacket(item.channel, item.packet);
        break;
      case rtsp::InterleavedKind::kResponse:
        ended = !HandleResponse(item.response);
        break;
      case rtsp::InterleavedKind::kRequest: {
        // Nothing a server asks of its client is needed here.
        auto answer =
            rtsp::BuildRtspResponse(501, "Not Implemented", item.request.cseq().value_or(0), {});
        if (answer) Write(std::move(*answer));
        break;
      }
      default:
        break;
    }
  }
  // One clock read per read that completed an item, for both time limits.
  const bool playing = phase_ == Phase::kPlaying;
  const auto now = playing && offset > 0 ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point{};
  // Pictures point into units_, which stays put until the batch has ended.
  if (!ended && playing) Deliver(now);
  connection::EndReceiveBatch();
  if (depacketizer_) depacketizer_->Recycle(units_);
  if (phase_ == Phase::kPlaying) ReportLoss();
  if (phase_ == Phase::kClosed || LoggedIn()) return;
  if (offset > 0) {
    std::memmove(in_.data(), in_.data() + offset, inUsed_ - offset);
    inUsed_ -= offset;
    // While playing: an item begun must complete in time; with nothing begun,
    // the camera must send something within the silence bound (WatchPlaying).
    if (phase_ == Phase::kPlaying && playing) lastItemAt_ = now;
  }
  Read();
}

bool RtspSession::HandleResponse(const rtsp::Response& response) {
  if (phase_ == Phase::kPlaying) {
    // A keep-alive's answer: a renewed challenge is taken for the next one.
    if (response.status == 401) {
      auto values = response.headers.FindAll("WWW-Authenticate");
      auth_.OnChallenge(values);
    }
    return true;
  }
  if (response.cseq() != awaitedCseq_) return true;  // a late answer to nothing we wait for
  if (response.status == 401) {
    auto values = response.headers.FindAll("WWW-Authenticate");
    const auto verdict =
        challenged_ ? rtsp::Authenticator::Verdict::kRefused : auth_.OnChallenge(values);
    if (verdict != rtsp::Authenticator::Verdict::kRetry) {
      Fail(rtsp::AuthFailure(verdict),
           During(StatusText(response) + (challenged_ ? " to our credentials" : "")));
      return false;
    }
    challenged_ = true;
    Resend();
    return true;
  }
  if (response.status == 503 && RetryWhenBusy(response)) return true;
  if (response.status < 200 || response.status > 299) {
    // Not found (404, 454 session not found) and busy (503) alike: the
    // camera refused, and the text says how.
    Fail(dl::kErrDeviceRefused, During(StatusText(response)));
    return false;
  }
  switch (phase_) {
    case Phase::kOptions:
      getParameter_ = Offers(response, "GET_PARAMETER");
      phase_ = Phase::kDescribe;
      SendRequest("DESCRIBE", params_.rtspUrl, {{"Accept", "application/sdp"}});
      return true;
    case Phase::kDescribe: {
      if (params_.purpose == pr::Purpose::kControl) {
        // The credentials were taken: that is all a login can learn.
        phase_ = Phase::kChecked;
        deadline_.cancel();
        CloseSocket();
        ScheduleLoginCheck();
        if (auto done = std::move(established_)) done(dl::kOk);
        return false;
      }
      auto sdp = rtsp::ParseSdp(response.body, rtsp::DescribeBaseUrl(response, params_.rtspUrl));
      if (!sdp.ok() || sdp.description.videoTracks.empty()) {
        Fail(dl::kErrProtocol, During(SdpFailure(sdp)));
        return false;
      }
      description_ = std::move(sdp.description);
      const auto& track = description_.videoTracks.front();
      rtsp::H264DepacketizerOptions options;
      options.payloadType = track.payloadType;
      options.codec = track.codec;
      depacketizer_.emplace(options);
      depacketizer_->SeedParameterSets(track.parameterSets);
      clockRate_ = track.clockRate == 0 ? 90000 : track.clockRate;
      phase_ = Phase::kSetup;
      std::string transport = "RTP/AVP/TCP;unicast;interleaved=0-1";
      if (params_.rtpOverUdp) {
        asio::error_code ec;
        const auto local = socket_.local_endpoint(ec).address();
        udp_ = std::make_shared<RtpUdpReceiver>(strand_);
        if (ec || !udp_->Open(local)) {
          Fail(dl::kErrIo, During("no local UDP ports for RTP"));
          return false;
        }
        transport = "RTP/AVP;unicast;client_port=" + std::to_string(udp_->rtpPort()) + "-" +
                    std::to_string(udp_->rtpPort() + 1);
      }
      SendRequest("SETUP", track.control, {{"Transport", std::move(transport)}});
      return true;
    }
    case Phase::kSetup:
      return HandleSetupAnswer(response);
    case Phase::kPlay: {
      phase_ = Phase::kPlaying;
      // From here on WatchPlaying keeps the time limits.
      deadline_.cancel();
      lastItemAt_ = std::chrono::steady_clock::now();
      if (udp_) {
        std::weak_ptr<RtspSession> weak = shared_from_this();
        udp_->Start(params_.address, [weak](std::span<const uint8_t> packet) {
          if (auto self = weak.lock()) self->OnDatagram(packet);
        });
      }
      ScheduleKeepAlive();
      lastPictureAt_ = lastItemAt_;
      WatchPlaying();
      if (auto done = std::move(established_)) done(dl::kOk);
      return phase_ == Phase::kPlaying;
    }
    default:
      return true;
  }
}

bool RtspSession::RetryWhenBusy(const rtsp::Response& response) {
  if (busyRetries_ >= kRtspBusyRetries) return false;
  std::chrono::milliseconds wait = kRtspBusyWait;
  if (auto after = response.headers.Find("Retry-After")) {
    // Delta-seconds only; a date or anything else keeps the short wait.
    auto text = rtsp::TrimWhitespace(*after);
    uint32_t seconds = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec == std::errc() && end == text.data() + text.size() && seconds > 0) {
      if (seconds > 3600) return false;
      wait = std::chrono::seconds(seconds);
    }
  }
  // A wait the set-up time-out would cut short is a refusal now, not a
  // time-out later.
  if (std::chrono::steady_clock::now() + wait >= deadline_.expiry()) return false;
  ++busyRetries_;
  busyRetry_.expires_after(wait);
  busyRetry_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec || self->phase_ == Phase::kClosed || self->LoggedIn() || self->phase_ == Phase::kPlaying)
      return;
    self->Resend();
  });
  return true;
}

bool RtspSession::HandleSetupAnswer(const rtsp::Response& response) {
  auto sessionValue = response.headers.Find("Session");
  auto session = sessionValue ? rtsp::ParseSessionHeader(*sessionValue) : std::nullopt;
  auto transportValue = response.headers.Find("Transport");
  auto transport = transportValue ? rtsp::ParseTransport(*transportValue) : std::nullopt;
  // A camera that answers with a transport other than the one asked for
  // would send the stream where nobody reads it.
  const bool wrongTransport =
      udp_ ? (!transport || transport->tcp) : (transport && !transport->tcp);
  if (!session || wrongTransport) {
    Fail(dl::kErrProtocol, During(!session ? "no usable Session header in the answer"
                                           : "a transport other than the one asked for"));
    return false;
  }
  sessionId_ = session->id;
  sessionTimeout_ = std::chrono::seconds(session->timeoutSeconds);
  rtpChannel_ =
      transport && transport->interleaved ? static_cast<uint8_t>(transport->interleaved->first) : 0;
  phase_ = Phase::kPlay;
  std::string url = description_.control.empty() ? params_.rtspUrl : description_.control;
  SendRequest("PLAY", std::move(url), {{"Session", sessionId_}, {"Range", "npt=0.000-"}});
  return true;
}

void RtspSession::HandlePacket(uint8_t channel, std::span<const uint8_t> packet) {
  // RTCP (the odd channel) is not needed; neither is anything before PLAY's
  // answer, which would use up the header before it could be delivered.
  if (udp_ || channel != rtpChannel_ || !depacketizer_ || phase_ != Phase::kPlaying) return;
  depacketizer_->OnRtpPacket(packet, units_);
}

// One RTP datagram from the camera's address, on the strand.
void RtspSession::OnDatagram(std::span<const uint8_t> packet) {
  if (phase_ != Phase::kPlaying) return;
  depacketizer_->OnRtpPacket(packet, units_);
  const auto now = std::chrono::steady_clock::now();
  Deliver(now);
  connection::EndReceiveBatch();
  depacketizer_->Recycle(units_);
  if (phase_ != Phase::kPlaying) return;
  ReportLoss();
  lastItemAt_ = now;
}

// Hands this read's units to the owner, which may close the link meanwhile.
void RtspSession::Deliver(std::chrono::steady_clock::time_point now) {
  for (const auto& unit : units_) {
    if (phase_ != Phase::kPlaying) return;
    if (!haveTimestamp_) {
      haveTimestamp_ = true;
      lastTimestamp_ = unit.timestamp;
    }
    elapsedTicks_ += static_cast<int32_t>(unit.timestamp - lastTimestamp_);
    lastTimestamp_ = unit.timestamp;
    pr::StreamData data;
    if (unit.kind == rtsp::H264Unit::Kind::kHeader) {
      data.frameType = pr::kStreamHeader;
    } else {
      data.frameType = pr::kStreamVideo;
      data.keyFrame = unit.keyFrame ? 1 : 0;
      lastPictureAt_ = now;
      // Pictures dropped for loss leave a gap in the numbers the host sees.
      const auto& stats = depacketizer_->stats();
      sequence_ = static_cast<uint32_t>(stats.accessUnits + stats.accessUnitsDropped);
    }
    data.sequence = sequence_;
    data.timestampMs =
        elapsedTicks_ <= 0 ? 0 : static_cast<uint64_t>(elapsedTicks_) * 1000 / clockRate_;
    data.data = unit.data;
    owner_->OnSessionStream(*this, data);
  }
}

// Tells the owner what the depacketizer dropped since the last report.
void RtspSession::ReportLoss() {
  const auto& stats = depacketizer_->stats();
  const uint64_t dropped = stats.accessUnitsDropped - reportedDropped_;
  const uint64_t lost = stats.packetsLost - reportedLost_;
  if (dropped == 0 && lost == 0) return;
  reportedDropped_ = stats.accessUnitsDropped;
  reportedLost_ = stats.packetsLost;
  owner_->OnSessionLoss(*this, dropped, lost);
}

void RtspSession::ScheduleKeepAlive() {
  auto interval = std::max<std::chrono::milliseconds>(sessionTimeout_ / 2, std::chrono::seconds(1));
  keepAlive_.expires_after(interval);
  keepAlive_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec || self->phase_ != Phase::kPlaying) return;
    rtsp::OutgoingRequest request;
    request.method = self->getParameter_ ? "GET_PARAMETER" : "OPTIONS";
    request.uri =
        self->description_.control.empty() ? self->params_.rtspUrl : self->description_.control;
    request.headers.push_back({"Session", self->sessionId_});
    if (auto authorization = self->auth_.Authorization(request.method, request.uri)) {
      request.headers.push_back({"Authorization", *authorization});
    }
    if (auto bytes = rtsp::BuildRtspRequest(request, ++self->cseq_)) self->Write(std::move(*bytes));
    if (self->phase_ == Phase::kPlaying) self->ScheduleKeepAlive();
  });
}

// The check reuses the keep-alive timer (a login never plays) and the
// deadline (a check not accepted in the time-out ends the link through it).
void RtspSession::ScheduleLoginCheck() {
  keepAlive_.expires_after(loginCheck_);
  keepAlive_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec || self->phase_ != Phase::kChecked) return;
    self->phase_ = Phase::kProbing;
    self->ArmDeadline(self->params_.timeout);
    asio::ip::tcp::endpoint endpoint(self->params_.address, self->params_.port);
    self->socket_.async_connect(endpoint, [self](const asio::error_code& connectError) {
      if (self->phase_ != Phase::kProbing) return;
      if (connectError) {
        self->Fail(dl::kErrNotConnected, "login check: no connection to " + self->Where() + " (" +
                                             connectError.message() + ")");
        return;
      }
      self->deadline_.cancel();
      self->CloseSocket();
      self->phase_ = Phase::kChecked;
      self->ScheduleLoginCheck();
    });
  });
}

void RtspSession::Write(std::string bytes) {
  if (outBytes_ + bytes.size() > kRtspQueueBound) {
    Fail(dl::kErrTimeout, During("the camera stopped reading our requests"));
    return;
  }
  outBytes_ += bytes.size();
  out_.push_back(std::move(bytes));
  if (!writing_) WriteNext();
}

void RtspSession::WriteNext() {
  if (out_.empty() || !socket_.is_open()) {
    writing_ = false;
    if (phase_ == Phase::kClosed) CloseSocket();  // the TEARDOWN went out
    return;
  }
  writing_ = true;
  asio::async_write(socket_, asio::buffer(out_.front()),
                    [self = shared_from_this()](const asio::error_code& ec, size_t) {
                      self->outBytes_ -= self->out_.front().size();
                      self->out_.pop_front();
                      if (ec) {
                        self->writing_ = false;
                        self->Fail(dl::kErrNotConnected,
                                   self->During("cannot send (" + ec.message() + ")"));
                        self->CloseSocket();
                        return;
                      }
                      self->WriteNext();
                    });
}

void RtspSession::WatchPlaying() {
  const auto now = std::chrono::steady_clock::now();
  // An item begun (bytes held) must complete within kRtspItemTime of the
  // last one; with none begun, the camera must send within kRtspSilence.
  const auto itemDue = lastItemAt_ + (inUsed_ > 0 ? kRtspItemTime : kRtspSilence);
  const auto pictureDue = lastPictureAt_ + pictureTime_;
  if (now >= itemDue || now >= pictureDue) {
    Fail(dl::kErrTimeout, During(now >= pictureDue ? "no picture within " + Seconds(pictureTime_)
                                                   : std::string("the camera fell silent")));
    return;
  }
  // An item begun after the watch is set is judged when it fires, by the
  // silence limit: at most kRtspSilence - kRtspItemTime late (both are 10 s).
  static_assert(kRtspItemTime <= kRtspSilence);
  playWatch_.expires_at(std::min(itemDue, pictureDue));
  playWatch_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec || self->phase_ != Phase::kPlaying) return;
    self->WatchPlaying();
  });
}

void RtspSession::ArmDeadline(std::chrono::milliseconds after) {
  deadline_.expires_after(after);
  deadline_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec) return;
    if (self->phase_ == Phase::kClosed) {
      self->CloseSocket();  // the TEARDOWN did not go out in time
      return;
    }
    self->Fail(dl::kErrTimeout, self->During("no answer within " + Seconds(self->params_.timeout)));
  });
}

void RtspSession::Fail(int32_t result, std::string reason) {
  if (phase_ == Phase::kClosed) return;
  reason_ = std::move(reason);
  Finish(result, true, true);
}

std::string RtspSession::Where() const {
  return params_.address.to_string() + ":" + std::to_string(params_.port);
}

std::string RtspSession::During(std::string_view what) const {
  if (phase_ == Phase::kConnecting) return "connecting to " + Where() + ": " + std::string(what);
  if (phase_ == Phase::kPlaying) return "stream: " + std::string(what);
  return (method_.empty() ? std::string("RTSP") : method_) + ": " + std::string(what);
}

void RtspSession::Close() {
  if (phase_ == Phase::kClosed) return;
  const bool teardown = !sessionId_.empty() && socket_.is_open();
  Finish(dl::kErrClosed, false, !teardown);
  if (!teardown) return;
  // Best effort: the camera frees the session now instead of at its timeout.
  rtsp::OutgoingRequest request;
  request.method = "TEARDOWN";
  request.uri = description_.control.empty() ? params_.rtspUrl : description_.control;
  request.headers.push_back({"Session", sessionId_});
  if (auto authorization = auth_.Authorization(request.method, request.uri)) {
    request.headers.push_back({"Authorization", *authorization});
  }
  auto bytes = rtsp::BuildRtspRequest(request, ++cseq_);
  if (!bytes) {
    CloseSocket();
    return;
  }
  ArmDeadline(kRtspTeardownTime);
  Write(std::move(*bytes));
}

// On the strand; after it nothing reaches the owner.
void RtspSession::Finish(int32_t reason, bool tellOwner, bool closeSocket) {
  if (phase_ == Phase::kClosed) return;
  const bool wasUp = phase_ == Phase::kPlaying || LoggedIn();
  phase_ = Phase::kClosed;
  deadline_.cancel();
  keepAlive_.cancel();
  playWatch_.cancel();
  busyRetry_.cancel();
  if (udp_) udp_->Close();
  if (closeSocket) CloseSocket();
  if (auto done = std::move(established_)) {
    done(reason);
    return;
  }
  if (wasUp && tellOwner) owner_->OnSessionLost(*this, reason);
}

void RtspSession::CloseSocket() {
  asio::error_code ignored;
  if (!socket_.is_open()) return;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace qrv::tmcc
