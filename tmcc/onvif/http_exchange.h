// One HTTP/1.1 request and its response to a standard camera, on Asio: a
// connection of its own (closed after the answer) or the one an
// HttpKeptConnection holds, the whole exchange under one deadline, the
// response bounded (header block and body), and a 401 answered once with
// Digest (or Basic where allowed: it sends the password readable to anyone
// on the path). Each exchange has an Authenticator of its own: one shared
// by exchanges running side by side would take a challenge answered by one
// as a refusal of the other.
//
// The camera is untrusted: a response that does not fit the bounds, never
// ends or is malformed ends the exchange with kErrProtocol or kErrTimeout,
// and no byte of it outlives the exchange but the body handed on.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tmcc/common/link.h"
#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/message.h"

namespace qrv::tmcc {

struct HttpCall {
  std::string method;  // "POST", "GET"
  std::string target;  // path and query, as on the request line
  std::string contentType;
  std::string body;
  std::string accept;  // an Accept header when not empty
  size_t maxBody = rtsp::kMaxBody;
};

struct HttpReply {
  // kOk: a response arrived (any status but a 401 we could not get past).
  // Else kErrUnreachable, kErrTimeout, kErrProtocol, kErrAuthRefused (a 401
  // after our answer), kErrAuthUnsupported (a 401 we cannot answer),
  // kErrBasicRefused (Basic alone offered, not allowed), kErrInvalidArgument (a
  // target or credential that cannot go on a request), kErrClosed.
  int32_t result = 0;
  int status = 0;
  std::string contentType;
  std::string body;
};

// One connection to a camera kept open from one exchange to the next
// (HTTP/1.1 keep-alive), so a loop of requests (event pulls) does not open
// a connection each time. An exchange given it uses the kept socket when
// there is one (else connects and keeps the new one), and gives it back
// after a whole response the camera neither closed nor asked to close; a
// failure of any kind closes it. A kept socket the camera closed meanwhile
// is noticed by the next exchange, which then connects once more. One
// exchange holds it at a time: another one meanwhile makes a connection of
// its own and closes it after its answer, so it never holds more than one
// socket. Threading: the strand of the exchanges that use it.
class HttpKeptConnection {
 public:
  explicit HttpKeptConnection(Strand strand) : socket_(std::move(strand)) {}
  // Closes the kept socket, and keeps none after: an exchange holding it
  // closes it at its end.
  void Close();

 private:
  friend class HttpExchange;
  asio::ip::tcp::socket socket_;
  bool held_ = false;    // an exchange is using it
  bool closed_ = false;  // Close was called
};

class HttpExchange : public std::enable_shared_from_this<HttpExchange> {
 public:
  using Done = std::function<void(HttpReply reply)>;

  // kept: a connection to keep between exchanges to this camera, or none
  // (then the connection is closed after the answer).
  HttpExchange(Strand strand, asio::ip::tcp::endpoint camera, std::string user,
               std::string password, bool allowBasic, HttpCall call,
               std::chrono::milliseconds timeout,
               std::shared_ptr<HttpKeptConnection> kept = nullptr);

  // Threading: both on the strand. done runs once, on the strand, never from
  // inside Start or Cancel; after Cancel with kErrClosed.
  void Start(Done done);
  void Cancel();

 private:
  void Connect();
  void OnConnected(const asio::error_code& ec);
  void Read();
  void OnRead(const asio::error_code& ec, size_t n);
  void OnResponse(rtsp::Response response);
  void Finish(HttpReply reply);
  void Fail(int32_t result);
  bool Ended() const { return finished_ || cancelled_; }
  // Gives the kept connection back (with the socket when it may be kept).
  void Release(bool keepSocket);

  Strand strand_;
  asio::ip::tcp::endpoint camera_;
  rtsp::Authenticator auth_;
  HttpCall call_;
  std::chrono::milliseconds timeout_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  Done done_;
  std::string out_;
  std::vector<uint8_t> in_;
  size_t inUsed_ = 0;
  rtsp::MessageLimits limits_;
  std::shared_ptr<HttpKeptConnection> kept_;
  bool holding_ = false;       // this exchange holds kept_
  bool reusedSocket_ = false;  // socket_ was kept from an earlier exchange
  bool reconnected_ = false;   // a kept socket that failed was replaced once
  bool keepable_ = false;      // the last response leaves the connection open
  bool challenged_ = false;    // a 401 was answered in this exchange
  bool finished_ = false;
  bool cancelled_ = false;
};

}  // namespace qrv::tmcc
