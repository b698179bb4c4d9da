#include "tmcc/onvif/http_exchange.h"

#include <algorithm>
#include <string_view>

#include "devicelib/tmcc_errors.h"
#include "tmcc/rtsp/auth_result.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;

namespace {

constexpr size_t kFirstHttpRead = 16 * 1024;
constexpr size_t kMinHttpReadRoom = 4 * 1024;
// Room past the body's bound for the header block and a chunked body's
// framing; the parser holds the body itself to its bound.
constexpr size_t kFramingSlack = 64 * 1024;

bool IsCloseToken(std::string_view token) {
  while (!token.empty() && (token.front() == ' ' || token.front() == '\t')) token.remove_prefix(1);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.remove_suffix(1);
  if (token.size() != 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    if ((token[i] | 0x20) != "close"[i]) return false;
  }
  return true;
}

// Whether the camera leaves the connection open after this response: an
// HTTP/1.1 answer without "close" among its Connection tokens (an HTTP/1.0
// one is closed; its keep-alive is not worth the guessing).
bool LeavesOpen(const rtsp::Response& response) {
  if (response.protocol != "HTTP/1.1") return false;
  for (std::string_view value : response.headers.FindAll("Connection")) {
    size_t start = 0;
    while (start <= value.size()) {
      const size_t comma = std::min(value.find(',', start), value.size());
      if (IsCloseToken(value.substr(start, comma - start))) return false;
      start = comma + 1;
    }
  }
  return true;
}

std::string HostHeader(const asio::ip::tcp::endpoint& camera) {
  std::string host = camera.address().to_string();
  if (camera.address().is_v6()) host = "[" + host + "]";
  if (camera.port() != 80) host += ":" + std::to_string(camera.port());
  return host;
}

}  // namespace

void HttpKeptConnection::Close() {
  closed_ = true;
  asio::error_code ignored;
  socket_.close(ignored);
}

HttpExchange::HttpExchange(Strand strand, asio::ip::tcp::endpoint camera, std::string user,
                           std::string password, bool allowBasic, HttpCall call,
                           std::chrono::milliseconds timeout,
                           std::shared_ptr<HttpKeptConnection> kept)
    : strand_(strand),
      camera_(camera),
      auth_(std::move(user), std::move(password), allowBasic),
      call_(std::move(call)),
      timeout_(timeout),
      socket_(strand_),
      deadline_(strand_),
      kept_(std::move(kept)) {
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
  Release(false);
  asio::error_code ignored;
  socket_.close(ignored);
  // Told later, so a caller closing its link is not re-entered.
  asio::post(strand_, [self = shared_from_this()] {
    self->finished_ = true;
    if (auto done = std::move(self->done_)) done(HttpReply{dl::kErrClosed, 0, {}, {}});
  });
}

void HttpExchange::Connect() {
  if (kept_ && !holding_ && !kept_->held_ && !kept_->closed_) {
    holding_ = true;
    kept_->held_ = true;
  }
  rtsp::OutgoingRequest request;
  request.method = call_.method;
  request.uri = call_.target;
  request.headers.push_back({"Host", HostHeader(camera_)});
  if (!call_.contentType.empty()) request.headers.push_back({"Content-Type", call_.contentType});
  if (!call_.accept.empty()) request.headers.push_back({"Accept", call_.accept});
  request.headers.push_back({"Connection", holding_ ? "keep-alive" : "close"});
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
  in_.assign(kFirstHttpRead, 0);
  asio::error_code ignored;
  // The connection of a 401 the camera left open carries our answer to it.
  bool open = keepable_ && socket_.is_open();
  keepable_ = false;
  if (!open && holding_ && kept_->socket_.is_open()) {
    // Bytes the camera sent while the connection was idle belong to no
    // request of ours: such a connection is not used.
    if (kept_->socket_.available(ignored) == 0 && !ignored) {
      socket_.close(ignored);
      socket_ = std::move(kept_->socket_);
      reusedSocket_ = true;
      open = true;
    } else {
      kept_->socket_.close(ignored);
    }
  }
  if (open) {
    asio::post(strand_, [self = shared_from_this()] { self->OnConnected({}); });
    return;
  }
  reusedSocket_ = false;
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
  if (inUsed_ + kMinHttpReadRoom > in_.size() && in_.size() < cap) {
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
  if (ec && inUsed_ == 0 && reusedSocket_ && !reconnected_) {
    // A kept connection the camera closed while it was idle: not an answer,
    // so the request goes once more on a new connection.
    reconnected_ = true;
    Connect();
    return;
  }
  if (ec && !end) {
    Fail(dl::kErrProtocol);  // reached, but the answer broke off
    return;
  }
  auto parsed =
      rtsp::ParseHttpResponse(std::span<const uint8_t>(in_.data(), inUsed_), end, limits_);
  if (parsed.status == rtsp::ParseStatus::kMessage) {
    // Kept only when nothing but this response came (and not up to the
    // connection's end).
    keepable_ = holding_ && !end && parsed.consumed == inUsed_ && LeavesOpen(parsed.response);
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
  Release(reply.result == dl::kOk && keepable_);
  asio::error_code ignored;
  socket_.close(ignored);
  in_.clear();
  in_.shrink_to_fit();
  if (auto done = std::move(done_)) done(std::move(reply));
}

void HttpExchange::Release(bool keepSocket) {
  if (!holding_) return;
  holding_ = false;
  kept_->held_ = false;
  if (keepSocket && !kept_->closed_ && socket_.is_open()) kept_->socket_ = std::move(socket_);
}

}  // namespace qrv::tmcc
