#include "tmcc/onvif/http_exchange.h"

#include <algorithm>

#include "devicelib/tmcc_errors.h"
#include "tmcc/rtsp/auth_result.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;

namespace {

constexpr size_t kFirstReadBuffer = 16 * 1024;
constexpr size_t kMinReadRoom = 4 * 1024;
// Room past the body's bound for the header block and a chunked body's
// framing; the parser holds the body itself to its bound.
constexpr size_t kFramingSlack = 64 * 1024;

std::string HostHeader(const asio::ip::tcp::endpoint& camera) {
  std::string host = camera.address().to_string();
  if (camera.address().is_v6()) host = "[" + host + "]";
  if (camera.port() != 80) host += ":" + std::to_string(camera.port());
  return host;
}

}  // namespace

HttpExchange::HttpExchange(Strand strand, asio::ip::tcp::endpoint camera, std::string user,
                           std::string password, bool allowBasic, HttpCall call,
                           std::chrono::milliseconds timeout)
    : strand_(strand),
      camera_(camera),
      auth_(std::move(user), std::move(password), allowBasic),
      call_(std::move(call)),
      timeout_(timeout),
      socket_(strand_),
      deadline_(strand_) {
  limits_.maxBody = call_.maxBody;
}

void HttpExchange::Start(Done done) {
  done_ = std::move(done);
  deadline_.expires_after(timeout_);
  deadline_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec || self->Ended()) return;
    self->Fail(dl::kErrTimeout);
  });
  Connect();
}

void HttpExchange::Cancel() {
  if (Ended()) return;
  cancelled_ = true;
  deadline_.cancel();
  asio::error_code ignored;
  socket_.close(ignored);
  // Told later, so a caller closing its link is not re-entered.
  asio::post(strand_, [self = shared_from_this()] {
    self->finished_ = true;
    if (auto done = std::move(self->done_)) done(HttpReply{dl::kErrClosed, 0, {}, {}});
  });
}

void HttpExchange::Connect() {
  rtsp::OutgoingRequest request;
  request.method = call_.method;
  request.uri = call_.target;
  request.headers.push_back({"Host", HostHeader(camera_)});
  if (!call_.contentType.empty()) request.headers.push_back({"Content-Type", call_.contentType});
  if (!call_.accept.empty()) request.headers.push_back({"Accept", call_.accept});
  request.headers.push_back({"Connection", "close"});
  if (auto authorization = auth_.Authorization(call_.method, call_.target)) {
    request.headers.push_back({"Authorization", std::move(*authorization)});
  }
  request.body = call_.body;
  auto bytes = rtsp::BuildHttpRequest(request);
  if (!bytes) {
    // Told on the strand later, as every other outcome.
    asio::post(strand_, [self = shared_from_this()] {
      if (!self->Ended()) self->Fail(dl::kErrInvalidArgument);
    });
    return;
  }
  out_ = std::move(*bytes);
  inUsed_ = 0;
  in_.assign(kFirstReadBuffer, 0);
  asio::error_code ignored;
  socket_.close(ignored);
  socket_ = asio::ip::tcp::socket(strand_);
  socket_.async_connect(
      camera_, [self = shared_from_this()](const asio::error_code& ec) { self->OnConnected(ec); });
}

void HttpExchange::OnConnected(const asio::error_code& ec) {
  if (Ended()) return;
  if (ec) {
    Fail(dl::kErrUnreachable);
    return;
  }
  // A write that fails (the camera hung up on the request) is seen by the
  // read, which also takes any answer the camera sent before hanging up.
  asio::async_write(socket_, asio::buffer(out_),
                    [self = shared_from_this()](const asio::error_code&, size_t) {});
  Read();
}

void HttpExchange::Read() {
  const size_t cap = limits_.maxHeaderBlock + limits_.maxBody + kFramingSlack;
  if (inUsed_ + kMinReadRoom > in_.size() && in_.size() < cap) {
    in_.resize(std::min(cap, in_.size() * 2));
  }
  if (inUsed_ == in_.size()) {
    Fail(dl::kErrProtocol);  // no answer fits the bound
    return;
  }
  socket_.async_read_some(
      asio::buffer(in_.data() + inUsed_, in_.size() - inUsed_),
      [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->OnRead(ec, n); });
}

void HttpExchange::OnRead(const asio::error_code& ec, size_t n) {
  if (Ended()) return;
  inUsed_ += n;
  const bool end = ec == asio::error::eof;
  if (ec && !end) {
    Fail(dl::kErrProtocol);  // reached, but the answer broke off
    return;
  }
  auto parsed =
      rtsp::ParseHttpResponse(std::span<const uint8_t>(in_.data(), inUsed_), end, limits_);
  if (parsed.status == rtsp::ParseStatus::kMessage) {
    OnResponse(std::move(parsed.response));
    return;
  }
  if (parsed.status == rtsp::ParseStatus::kError || end) {
    Fail(dl::kErrProtocol);
    return;
  }
  Read();
}

void HttpExchange::OnResponse(rtsp::Response response) {
  if (response.status == 401) {
    auto values = response.headers.FindAll("WWW-Authenticate");
    const auto verdict =
        challenged_ ? rtsp::Authenticator::Verdict::kRefused : auth_.OnChallenge(values);
    if (verdict != rtsp::Authenticator::Verdict::kRetry) {
      Fail(rtsp::AuthFailure(verdict));
      return;
    }
    challenged_ = true;
    Connect();
    return;
  }
  HttpReply reply;
  reply.result = dl::kOk;
  reply.status = response.status;
  if (auto type = response.headers.Find("Content-Type")) reply.contentType = std::string(*type);
  reply.body = std::move(response.body);
  Finish(std::move(reply));
}

void HttpExchange::Fail(int32_t result) {
  Finish(HttpReply{result, 0, {}, {}});
}

void HttpExchange::Finish(HttpReply reply) {
  if (Ended()) return;
  finished_ = true;
  deadline_.cancel();
  asio::error_code ignored;
  socket_.close(ignored);
  in_.clear();
  in_.shrink_to_fit();
  if (auto done = std::move(done_)) done(std::move(reply));
}

}  // namespace qrv::tmcc
