#include "simulator/onvif/onvif_face.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>

#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/discovery.h"
#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/operations.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/onvif/codec/soap.h"
#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/message.h"

namespace qrv::sim {

namespace ov = tmcc::onvif;
namespace rt = tmcc::rtsp;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxBodyBytes = 256 * 1024;
constexpr size_t kMaxSoapConnections = 32;
constexpr int kMaxRequestsPerConnection = 1000;
// From a request's first byte to the last byte of its answer, except for the
// time a PullMessages is allowed to wait.
constexpr std::chrono::seconds kRequestDeadline{10};
constexpr std::chrono::seconds kIdleDeadline{30};
constexpr int64_t kMaxPullWaitMs = 10'000;
constexpr size_t kMaxSubscriptions = 16;
constexpr size_t kMaxQueuedEvents = 64;
constexpr int64_t kDefaultTerminationSeconds = 60;
constexpr int64_t kMaxTerminationSeconds = 3600;
constexpr int64_t kMaxTokenSkewSeconds = 300;
constexpr size_t kRememberedNonces = 1024;
constexpr size_t kMaxPresets = 255;
constexpr std::string_view kRealm = "qrv-simulator";

const std::string kProfile1 = "Profile1";
const std::string kProfile2 = "Profile2";

int64_t NowUnix() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string RandomDigestNonce(size_t bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device rd;
  std::string out;
  for (size_t i = 0; i < bytes; ++i) {
    const auto b = static_cast<unsigned>(rd()) & 0xffu;
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// The auth-params of a "Digest k=v, k="v"" Authorization value; nothing when
// it is not one we can read.
std::optional<std::map<std::string, std::string>> ParseDigestAuthorization(std::string_view v) {
  constexpr std::string_view kScheme = "Digest ";
  if (v.size() < kScheme.size() || v.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  std::map<std::string, std::string> out;
  size_t i = kScheme.size();
  while (i < v.size()) {
    while (i < v.size() && (v[i] == ' ' || v[i] == ',')) ++i;
    if (i >= v.size()) break;
    const size_t eq = v.find('=', i);
    if (eq == std::string_view::npos) return std::nullopt;
    std::string key(v.substr(i, eq - i));
    while (!key.empty() && key.back() == ' ') key.pop_back();
    i = eq + 1;
    std::string value;
    if (i < v.size() && v[i] == '"') {
      ++i;
      while (i < v.size() && v[i] != '"') {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        value += v[i++];
      }
      if (i >= v.size()) return std::nullopt;
      ++i;
    } else {
      const size_t end = std::min(v.find(',', i), v.size());
      value = std::string(v.substr(i, end - i));
      while (!value.empty() && value.back() == ' ') value.pop_back();
      i = end;
    }
    if (out.size() >= rt::kMaxAuthParams) return std::nullopt;
    out[std::move(key)] = std::move(value);
  }
  return out;
}

struct HttpAnswer {
  int status = 200;
  std::string reason = "OK";
  std::string contentType = "application/soap+xml; charset=utf-8";
  std::vector<rt::Header> headers;
  std::string body;
};

HttpAnswer SoapAnswer(std::string envelope) {
  HttpAnswer a;
  a.body = std::move(envelope);
  return a;
}

// SOAP 1.2 over HTTP: sender faults are 400, receiver faults 500.
HttpAnswer FaultAnswer(std::string_view code, std::string_view subcode, std::string_view reason) {
  HttpAnswer a;
  const bool sender = code == "Sender";
  a.status = sender ? 400 : 500;
  a.reason = sender ? "Bad Request" : "Internal Server Error";
  a.body = ov::BuildFault(code, subcode, reason);
  return a;
}

HttpAnswer BadArgument(const ov::Error& error) {
  return FaultAnswer("Sender", "ter:InvalidArgVal", error.message);
}

}  // namespace

class OnvifFace::Impl : public std::enable_shared_from_this<OnvifFace::Impl> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  using Respond = std::function<void(HttpAnswer)>;

  Impl(asio::io_context& io, OnvifFaceOptions options, std::weak_ptr<OnvifDevice> device)
      : strand_(asio::make_strand(io)),
        options_(std::move(options)),
        device_(std::move(device)),
        acceptor_(strand_),
        unicast_(strand_),
        multicast_(strand_),
        moveTimer_(strand_),
        digestNonce_(RandomDigestNonce(16)) {}

  bool Bind(std::string* error);
  void Begin();
  // Waits for the strand when asked (never from a network thread).
  void Close(bool wait);
  void OnAlarm(int32_t value);

 private:
  void CloseNow();
  class Connection;
  struct Waiter {
    asio::steady_timer timer;
    int limit;
    std::string relatesTo;
    Respond respond;
    explicit Waiter(Strand& s) : timer(s) {}
  };
  struct Subscription {
    int64_t terminationUnix = 0;
    std::deque<ov::NotificationMessage> queue;
    std::shared_ptr<Waiter> waiter;
  };

  void Accept();
  void ReceiveProbe(udp::socket& socket, std::vector<uint8_t>& buffer, udp::endpoint& sender);
  void AnswerProbe(std::span<const uint8_t> datagram, const udp::endpoint& sender);

  void Handle(const rt::Request& request, Respond respond);
  void HandleSnapshot(const rt::Request& request, Respond respond);
  HttpAnswer Unauthorized() const;
  void HandleSoap(std::string_view path, const rt::Request& request, Respond respond);
  std::optional<HttpAnswer> Authenticate(const ov::RequestHeader& header);
  HttpAnswer Device(ov::Operation op, const ov::XmlElement& body);
  HttpAnswer Media(ov::Operation op, const ov::XmlElement& body);
  HttpAnswer Ptz(ov::Operation op, const ov::XmlElement& body);
  void Events(ov::Operation op, std::string_view path, const ov::XmlElement& body,
              const ov::RequestHeader& header, Respond respond);

  std::string Base() const {
    return "http://" + options_.address + ":" + std::to_string(options_.port);
  }
  // The device's clock: ours plus the configured offset.
  int64_t DeviceNow() const { return NowUnix() + options_.clockOffsetSeconds; }
  bool KnownProfile(std::string_view token) const {
    return token == kProfile1 || token == kProfile2;
  }
  void StopAxes(bool panTilt, bool zoom);
  void PurgeSubscriptions();
  void AnswerPull(Subscription& sub, int limit, const std::string& relatesTo,
                  const Respond& respond);

  Strand strand_;
  const OnvifFaceOptions options_;
  std::weak_ptr<OnvifDevice> device_;
  tcp::acceptor acceptor_;
  udp::socket unicast_;
  udp::socket multicast_;
  std::vector<uint8_t> unicastBuffer_ = std::vector<uint8_t>(16 * 1024);
  std::vector<uint8_t> multicastBuffer_ = std::vector<uint8_t>(16 * 1024);
  udp::endpoint unicastSender_, multicastSender_;
  asio::steady_timer moveTimer_;
  const std::string digestNonce_;
  bool closed_ = false;
  size_t connections_ = 0;
  std::set<std::shared_ptr<Connection>> open_;
  std::deque<std::string> nonceOrder_;
  std::set<std::string> nonces_;
  std::map<int, std::string> presets_;  // device preset number -> name
  std::map<uint64_t, Subscription> subscriptions_;
  uint64_t nextSubscription_ = 1;
};

// One HTTP connection: requests one at a time, each under a deadline, with
// the unparsed input bounded by the header and body limits.
class OnvifFace::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<Impl> face, tcp::socket socket)
      : face_(std::move(face)), socket_(std::move(socket)), deadline_(face_->strand_) {}

  void Start() { Next(); }
  void Close() {
    asio::error_code ignored;
    socket_.close(ignored);
    deadline_.cancel();
  }

 private:
  void Arm(std::chrono::steady_clock::duration d) {
    deadline_.expires_after(d);
    deadline_.async_wait([self = shared_from_this()](const asio::error_code& e) {
      if (!e) self->Finish();
    });
  }
  void Finish() {
    Close();
    face_->open_.erase(shared_from_this());
  }

  void Next() {
    if (!socket_.is_open()) return Finish();
    // The request deadline runs from its first byte: trickling bytes in
    // does not extend it.
    if (input_.empty()) {
      Arm(kIdleDeadline);
      inRequest_ = false;
    } else if (!inRequest_) {
      Arm(kRequestDeadline);
      inRequest_ = true;
    }
    rt::MessageLimits limits;
    limits.maxHeaderBlock = kMaxHeaderBytes;
    limits.maxBody = kMaxBodyBytes;
    const auto r = rt::ParseHttpRequest(
        {reinterpret_cast<const uint8_t*>(input_.data()), input_.size()}, limits);
    if (r.status == rt::ParseStatus::kError) {
      HttpAnswer a;
      const bool tooLarge = r.error == rt::MessageError::kBodyTooLong ||
                            r.error == rt::MessageError::kHeaderBlockTooLong ||
                            r.error == rt::MessageError::kTooManyHeaders;
      a.status = tooLarge ? 413 : 400;
      a.reason = tooLarge ? "Content Too Large" : "Bad Request";
      a.contentType = "text/plain";
      a.body = rt::MessageErrorName(r.error);
      return Send(std::move(a), false);
    }
    if (r.status == rt::ParseStatus::kNeedMore) {
      chunk_.resize(8192);
      socket_.async_read_some(asio::buffer(chunk_),
                              [self = shared_from_this()](const asio::error_code& e, size_t n) {
                                if (e) return self->Finish();
                                self->input_.append(self->chunk_.data(), n);
                                self->Next();
                              });
      return;
    }
    input_.erase(0, r.consumed);
    inRequest_ = false;
    const auto connection = r.request.headers.Find("Connection");
    const bool close = (connection && (*connection == "close" || *connection == "Close")) ||
                       r.request.protocol == "HTTP/1.0" || ++served_ >= kMaxRequestsPerConnection;
    // A pull may wait for events longer than a request may otherwise take.
    Arm(kRequestDeadline + std::chrono::milliseconds(kMaxPullWaitMs));
    face_->Handle(r.request, [self = shared_from_this(), close](HttpAnswer a) {
      self->Send(std::move(a), !close);
    });
  }

  void Send(HttpAnswer a, bool keepAlive) {
    if (!socket_.is_open()) return Finish();
    Arm(kRequestDeadline);
    auto out = std::make_shared<std::string>();
    *out = "HTTP/1.1 " + std::to_string(a.status) + " " + a.reason + "\r\n";
    *out += "Content-Type: " + a.contentType + "\r\n";
    for (const auto& h : a.headers) *out += h.name + ": " + h.value + "\r\n";
    *out += "Content-Length: " + std::to_string(a.body.size()) + "\r\n";
    *out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    *out += a.body;
    asio::async_write(
        socket_, asio::buffer(*out),
        [self = shared_from_this(), out, keepAlive](const asio::error_code& e, size_t) {
          if (e || !keepAlive) {
            asio::error_code ignored;
            self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
            return self->Finish();
          }
          self->Next();
        });
  }

  std::shared_ptr<Impl> face_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  std::string input_;
  std::vector<char> chunk_;
  int served_ = 0;
  bool inRequest_ = false;  // the deadline armed is the current request's
};

bool OnvifFace::Impl::Bind(std::string* error) {
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(options_.address, ec);
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + ec.message();
    asio::error_code ignored;
    acceptor_.close(ignored);
    unicast_.close(ignored);
    multicast_.close(ignored);
    return false;
  };
  if (ec) return fail("bad address");
  acceptor_.open(tcp::v4(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind({address, options_.port}, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return fail("cannot listen on ONVIF port " + std::to_string(options_.port));
  if (options_.discoveryPort != 0) {
    unicast_.open(udp::v4(), ec);
    if (!ec) unicast_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) unicast_.bind({address, options_.discoveryPort}, ec);
    if (ec) return fail("cannot bind discovery port " + std::to_string(options_.discoveryPort));
    if (options_.multicastDiscovery) {
      // Bound to the group, so this socket hears multicast probes only; the
      // answer leaves from the device's own address.
      const auto group = asio::ip::make_address_v4(std::string(ov::kDiscoveryAddress));
      multicast_.open(udp::v4(), ec);
      if (!ec) multicast_.set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) multicast_.bind({group, options_.discoveryPort}, ec);
      if (!ec)
        multicast_.set_option(
            asio::ip::multicast::join_group(group, asio::ip::make_address_v4("127.0.0.1")), ec);
      if (ec) return fail("cannot join the discovery group");
    }
  }
  return true;
}

void OnvifFace::Impl::Begin() {
  asio::post(strand_, [self = shared_from_this()] {
    if (self->closed_) return;
    self->Accept();
    if (self->unicast_.is_open())
      self->ReceiveProbe(self->unicast_, self->unicastBuffer_, self->unicastSender_);
    if (self->multicast_.is_open())
      self->ReceiveProbe(self->multicast_, self->multicastBuffer_, self->multicastSender_);
  });
}

void OnvifFace::Impl::CloseNow() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  unicast_.close(ignored);
  multicast_.close(ignored);
  moveTimer_.cancel();
  auto open = std::move(open_);
  for (auto& c : open) c->Close();
  // Waiting pulls hold their connections: drop them so nothing keeps the
  // face alive.
  for (auto& [id, sub] : subscriptions_)
    if (sub.waiter) sub.waiter->timer.cancel();
  subscriptions_.clear();
}

void OnvifFace::Impl::Close(bool wait) {
  if (strand_.running_in_this_thread()) return CloseNow();
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  asio::post(strand_, [self = shared_from_this(), done] {
    self->CloseNow();
    done->set_value();
  });
  // Bounded: the network threads may already be gone at shutdown.
  if (wait) finished.wait_for(std::chrono::seconds(5));
}

void OnvifFace::Impl::Accept() {
  acceptor_.async_accept([self = shared_from_this()](const asio::error_code& e, tcp::socket s) {
    if (self->closed_ || !self->acceptor_.is_open()) return;
    if (!e) {
      if (self->open_.size() >= kMaxSoapConnections) {
        asio::error_code ignored;
        s.close(ignored);
      } else {
        auto c = std::make_shared<Connection>(self, std::move(s));
        self->open_.insert(c);
        c->Start();
      }
    }
    self->Accept();
  });
}

void OnvifFace::Impl::ReceiveProbe(udp::socket& socket, std::vector<uint8_t>& buffer,
                                   udp::endpoint& sender) {
  socket.async_receive_from(
      asio::buffer(buffer), sender,
      [self = shared_from_this(), &socket, &buffer, &sender](const asio::error_code& e, size_t n) {
        if (self->closed_ || !socket.is_open()) return;
        if (!e) self->AnswerProbe({buffer.data(), n}, sender);
        self->ReceiveProbe(socket, buffer, sender);
      });
}

void OnvifFace::Impl::AnswerProbe(std::span<const uint8_t> datagram, const udp::endpoint& sender) {
  // Only loopback peers: never answer toward an address a datagram names.
  if (!sender.address().is_v4() || !sender.address().to_v4().is_loopback() || sender.port() == 0)
    return;
  const auto probe = ov::ParseProbe(
      std::string_view(reinterpret_cast<const char*>(datagram.data()), datagram.size()));
  if (!probe || probe->messageId.empty()) return;
  ov::DiscoveredDevice me;
  me.endpoint = options_.endpoint;
  me.types = {{std::string(ov::ns::kNetwork), "NetworkVideoTransmitter"},
              {std::string(ov::ns::kDevice), "Device"}};
  if (!ov::ProbeMatchesTypes(*probe, me.types)) return;
  me.scopes = {"onvif://www.onvif.org/type/video_encoder", "onvif://www.onvif.org/type/ptz",
               "onvif://www.onvif.org/hardware/" + options_.model,
               "onvif://www.onvif.org/name/" + options_.name,
               "onvif://www.onvif.org/location/loopback"};
  me.xaddrs = {Base() + "/onvif/device_service"};
  me.metadataVersion = 1;
  const auto id = ov::NewMessageId();
  if (!id) return;
  auto answer = std::make_shared<std::string>(ov::BuildProbeMatches(*id, probe->messageId, {me}));
  unicast_.async_send_to(asio::buffer(*answer), sender,
                         [answer](const asio::error_code&, size_t) {});
}

void OnvifFace::Impl::Handle(const rt::Request& request, Respond respond) {
  std::string_view path = request.uri;
  // An absolute form names a host we do not trust; only its path counts.
  if (path.starts_with("http://")) {
    const size_t slash = path.find('/', 7);
    path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
  }
  if (request.method == "GET" && path == "/snapshot/0.jpg") return HandleSnapshot(request, respond);
  if (request.method != "POST" || !path.starts_with("/onvif/")) {
    HttpAnswer a;
    a.status = request.method == "POST" || request.method == "GET" ? 404 : 405;
    a.reason = a.status == 404 ? "Not Found" : "Method Not Allowed";
    a.contentType = "text/plain";
    return respond(std::move(a));
  }
  HandleSoap(path, request, std::move(respond));
}

HttpAnswer OnvifFace::Impl::Unauthorized() const {
  HttpAnswer a;
  a.status = 401;
  a.reason = "Unauthorized";
  a.contentType = "text/plain";
  a.headers.push_back({"WWW-Authenticate", "Digest realm=\"" + std::string(kRealm) +
                                               "\", qop=\"auth\", nonce=\"" + digestNonce_ +
                                               "\", algorithm=MD5"});
  return a;
}

void OnvifFace::Impl::HandleSnapshot(const rt::Request& request, Respond respond) {
  const auto authorization = request.headers.Find("Authorization");
  if (!authorization) return respond(Unauthorized());
  const auto p = ParseDigestAuthorization(*authorization);
  if (!p) return respond(Unauthorized());
  auto get = [&](const char* k) -> std::string {
    const auto it = p->find(k);
    return it == p->end() ? std::string() : it->second;
  };
  const std::string ha1 =
      rt::Md5Hex(options_.user + ":" + std::string(kRealm) + ":" + options_.password);
  const std::string ha2 = rt::Md5Hex(request.method + ":" + get("uri"));
  const std::string qop = get("qop");
  const std::string expected = qop.empty()
                                   ? rt::Md5Hex(ha1 + ":" + digestNonce_ + ":" + ha2)
                                   : rt::Md5Hex(ha1 + ":" + digestNonce_ + ":" + get("nc") + ":" +
                                                get("cnonce") + ":" + qop + ":" + ha2);
  if (get("username") != options_.user || get("realm") != kRealm || get("nonce") != digestNonce_ ||
      get("uri") != request.uri || (!qop.empty() && qop != "auth") || ha1.empty() ||
      get("response") != expected)
    return respond(Unauthorized());
  auto device = device_.lock();
  if (!device) return respond(FaultAnswer("Receiver", "", "device gone"));
  device->OnvifSnapshot([self = shared_from_this(), respond](std::vector<uint8_t> jpeg) {
    asio::post(self->strand_, [jpeg = std::move(jpeg), respond] {
      HttpAnswer a;
      if (jpeg.empty()) {
        a.status = 503;
        a.reason = "Service Unavailable";
        a.contentType = "text/plain";
      } else {
        a.contentType = "image/jpeg";
        a.body.assign(jpeg.begin(), jpeg.end());
      }
      respond(std::move(a));
    });
  });
}

std::optional<HttpAnswer> OnvifFace::Impl::Authenticate(const ov::RequestHeader& header) {
  // Without a usable token the answer is the same whatever was wrong, so a
  // peer learns nothing about which user names exist.
  auto refuse = [] {
    return FaultAnswer("Sender", "ter:NotAuthorized",
                       "The action requested requires authorization");
  };
  if (!header.token || header.token->username != options_.user) return refuse();
  if (ov::CheckUsernameToken(*header.token, options_.password, DeviceNow(), kMaxTokenSkewSeconds) !=
      ov::TokenCheck::kValid)
    return refuse();
  // A token seen before is a replay.
  if (!nonces_.insert(header.token->nonce).second) return refuse();
  nonceOrder_.push_back(header.token->nonce);
  if (nonceOrder_.size() > kRememberedNonces) {
    nonces_.erase(nonceOrder_.front());
    nonceOrder_.pop_front();
  }
  return std::nullopt;
}

void OnvifFace::Impl::HandleSoap(std::string_view path, const rt::Request& request,
                                 Respond respond) {
  auto message = ov::ParseSoapMessage(request.body);
  if (!message || !message->body)
    return respond(FaultAnswer("Sender", "", "not a SOAP 1.2 request"));
  const auto op = ov::IdentifyOperation(message->body);
  const auto header = ov::ReadRequestHeader(*message);
  if (op != ov::Operation::kGetSystemDateAndTime) {
    if (auto refused = Authenticate(header)) return respond(std::move(*refused));
  }
  switch (op) {
    case ov::Operation::kGetSystemDateAndTime:
    case ov::Operation::kGetCapabilities:
    case ov::Operation::kGetServices:
    case ov::Operation::kGetDeviceInformation:
      return respond(Device(op, message->body));
    case ov::Operation::kGetProfiles:
    case ov::Operation::kGetStreamUri:
    case ov::Operation::kGetSnapshotUri:
      return respond(Media(op, message->body));
    case ov::Operation::kContinuousMove:
    case ov::Operation::kStop:
    case ov::Operation::kGetPresets:
    case ov::Operation::kGotoPreset:
    case ov::Operation::kSetPreset:
    case ov::Operation::kRemovePreset:
      return respond(Ptz(op, message->body));
    case ov::Operation::kCreatePullPointSubscription:
    case ov::Operation::kPullMessages:
    case ov::Operation::kRenew:
    case ov::Operation::kUnsubscribe:
      return Events(op, path, message->body, header, std::move(respond));
    case ov::Operation::kUnknown:
      break;
  }
  respond(FaultAnswer("Receiver", "ter:ActionNotSupported", "operation not supported"));
}

HttpAnswer OnvifFace::Impl::Device(ov::Operation op, const ov::XmlElement& body) {
  const std::string base = Base();
  switch (op) {
    case ov::Operation::kGetSystemDateAndTime: {
      ov::SystemDateAndTime t;
      t.utcUnix = DeviceNow();
      t.timeZone = "UTC0";
      return SoapAnswer(ov::BuildGetSystemDateAndTimeResponse(t));
    }
    case ov::Operation::kGetCapabilities: {
      if (auto r = ov::ParseGetCapabilitiesRequest(body); !r) return BadArgument(r.error());
      ov::Capabilities c;
      c.device = base + "/onvif/device_service";
      c.media = base + "/onvif/media_service";
      c.ptz = base + "/onvif/ptz_service";
      c.events = base + "/onvif/event_service";
      return SoapAnswer(ov::BuildGetCapabilitiesResponse(c));
    }
    case ov::Operation::kGetServices: {
      if (auto r = ov::ParseGetServicesRequest(body); !r) return BadArgument(r.error());
      std::vector<ov::ServiceAddress> s = {
          {std::string(ov::ns::kDevice), base + "/onvif/device_service", 2, 0},
          {std::string(ov::ns::kMedia), base + "/onvif/media_service", 2, 0},
          {std::string(ov::ns::kPtz), base + "/onvif/ptz_service", 2, 0},
          {std::string(ov::ns::kEvents), base + "/onvif/event_service", 2, 0}};
      return SoapAnswer(ov::BuildGetServicesResponse(s));
    }
    default: {
      ov::DeviceInformation info;
      info.manufacturer = "QRV";
      info.model = options_.model;
      info.firmwareVersion = "1.0";
      info.serialNumber = options_.name;
      info.hardwareId = options_.model;
      return SoapAnswer(ov::BuildGetDeviceInformationResponse(info));
    }
  }
}

HttpAnswer OnvifFace::Impl::Media(ov::Operation op, const ov::XmlElement& body) {
  auto device = device_.lock();
  if (!device) return FaultAnswer("Receiver", "", "device gone");
  switch (op) {
    case ov::Operation::kGetProfiles: {
      const MediaSettings m = device->OnvifMedia();
      std::vector<ov::MediaProfile> profiles;
      for (const auto& token : {kProfile1, kProfile2}) {
        ov::MediaProfile p;
        p.token = token;
        p.name = token == kProfile1 ? "main" : "second";
        p.videoSourceToken = "VideoSource_1";
        p.videoEncoding = "H264";
        p.width = m.width;
        p.height = m.height;
        p.frameRateLimit = m.fps;
        p.bitrateLimit = m.bitrateKbps;
        p.hasPtz = token == kProfile1;
        profiles.push_back(std::move(p));
      }
      return SoapAnswer(ov::BuildGetProfilesResponse(profiles));
    }
    case ov::Operation::kGetStreamUri: {
      auto r = ov::ParseGetStreamUriRequest(body);
      if (!r) return BadArgument(r.error());
      if (!KnownProfile(r->profileToken))
        return FaultAnswer("Sender", "ter:NoProfile", "no such profile");
      ov::MediaUri uri;
      uri.uri = "rtsp://" + options_.address + ":" + std::to_string(options_.rtspPort) +
                (r->profileToken == kProfile1 ? "/stream0" : "/stream1");
      return SoapAnswer(ov::BuildGetStreamUriResponse(uri));
    }
    default: {
      auto r = ov::ParseGetSnapshotUriRequest(body);
      if (!r) return BadArgument(r.error());
      if (!KnownProfile(*r)) return FaultAnswer("Sender", "ter:NoProfile", "no such profile");
      ov::MediaUri uri;
      uri.uri = Base() + "/snapshot/0.jpg";
      return SoapAnswer(ov::BuildGetSnapshotUriResponse(uri));
    }
  }
}

void OnvifFace::Impl::StopAxes(bool panTilt, bool zoom) {
  auto device = device_.lock();
  if (!device) return;
  if (panTilt) device->OnvifPtz(21, 1, 0);
  if (zoom) device->OnvifPtz(11, 1, 0);
}

HttpAnswer OnvifFace::Impl::Ptz(ov::Operation op, const ov::XmlElement& body) {
  auto device = device_.lock();
  if (!device) return FaultAnswer("Receiver", "", "device gone");
  auto noPtz = [] { return FaultAnswer("Sender", "ter:NoPTZProfile", "profile has no PTZ"); };
  auto speedOf = [](double v) {
    return static_cast<int32_t>(std::clamp(std::lround(std::fabs(v) * 80), 1L, 80L));
  };
  switch (op) {
    case ov::Operation::kContinuousMove: {
      auto r = ov::ParseContinuousMoveRequest(body);
      if (!r) return BadArgument(r.error());
      if (r->profileToken != kProfile1) return noPtz();
      const bool panTilt = r->panX || r->tiltY;
      if (panTilt) {
        const double x = r->panX.value_or(0), y = r->tiltY.value_or(0);
        const double top = std::max(std::fabs(x), std::fabs(y));
        if (top == 0) {
          device->OnvifPtz(21, 1, 0);
        } else {
          // A component counts when it is a fair share of the move; ONVIF's
          // positive tilt is up, the device's codes name directions.
          const int dx = std::fabs(x) >= 0.4 * top ? (x > 0 ? 1 : -1) : 0;
          const int dy = std::fabs(y) >= 0.4 * top ? (y > 0 ? -1 : 1) : 0;
          static constexpr int kCode[3][3] = {{25, 21, 26}, {23, 0, 24}, {27, 22, 28}};
          device->OnvifPtz(kCode[dy + 1][dx + 1], 0, speedOf(top));
        }
      }
      if (r->zoom) {
        if (*r->zoom == 0)
          device->OnvifPtz(11, 1, 0);
        else
          device->OnvifPtz(*r->zoom > 0 ? 11 : 12, 0, speedOf(*r->zoom));
      }
      moveTimer_.cancel();
      if (r->timeoutMs && *r->timeoutMs > 0) {
        const bool zoom = r->zoom.has_value();
        moveTimer_.expires_after(
            std::chrono::milliseconds(std::min<int64_t>(*r->timeoutMs, 3'600'000)));
        moveTimer_.async_wait(
            [self = shared_from_this(), panTilt, zoom](const asio::error_code& e) {
              if (!e && !self->closed_) self->StopAxes(panTilt, zoom);
            });
      }
      return SoapAnswer(ov::BuildContinuousMoveResponse());
    }
    case ov::Operation::kStop: {
      auto r = ov::ParseStopRequest(body);
      if (!r) return BadArgument(r.error());
      if (r->profileToken != kProfile1) return noPtz();
      moveTimer_.cancel();
      StopAxes(r->panTilt, r->zoom);
      return SoapAnswer(ov::BuildStopResponse());
    }
    case ov::Operation::kGetPresets: {
      auto r = ov::ParseGetPresetsRequest(body);
      if (!r) return BadArgument(r.error());
      if (*r != kProfile1) return noPtz();
      std::vector<ov::Preset> list;
      for (const auto& [n, name] : presets_) list.push_back({std::to_string(n), name});
      return SoapAnswer(ov::BuildGetPresetsResponse(list));
    }
    default:
      break;
  }
  auto r = op == ov::Operation::kGotoPreset  ? ov::ParseGotoPresetRequest(body)
           : op == ov::Operation::kSetPreset ? ov::ParseSetPresetRequest(body)
                                             : ov::ParseRemovePresetRequest(body);
  if (!r) return BadArgument(r.error());
  if (r->profileToken != kProfile1) return noPtz();
  int number = 0;
  if (op == ov::Operation::kSetPreset && r->presetToken.empty()) {
    for (int n = 1; n <= static_cast<int>(kMaxPresets) && number == 0; ++n)
      if (!presets_.contains(n)) number = n;
    if (number == 0) return FaultAnswer("Receiver", "ter:TooManyPresets", "no free preset");
  } else {
    const auto parsed = ov::ParseInteger(r->presetToken, 1, static_cast<int64_t>(kMaxPresets));
    if (!parsed ||
        (op != ov::Operation::kSetPreset && !presets_.contains(static_cast<int>(*parsed))))
      return FaultAnswer("Sender", "ter:NoToken", "no such preset");
    number = static_cast<int>(*parsed);
  }
  const int32_t code = op == ov::Operation::kSetPreset      ? 100
                       : op == ov::Operation::kRemovePreset ? 101
                                                            : 102;
  if (device->OnvifPtz(code, number, 0) != 0)
    return FaultAnswer("Receiver", "ter:Action", "the device refused");
  if (op == ov::Operation::kSetPreset) {
    presets_[number] = r->presetName.empty() ? "Preset " + std::to_string(number) : r->presetName;
    return SoapAnswer(ov::BuildSetPresetResponse(std::to_string(number)));
  }
  if (op == ov::Operation::kRemovePreset) {
    presets_.erase(number);
    return SoapAnswer(ov::BuildRemovePresetResponse());
  }
  return SoapAnswer(ov::BuildGotoPresetResponse());
}

void OnvifFace::Impl::PurgeSubscriptions() {
  const int64_t now = DeviceNow();
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    if (it->second.terminationUnix <= now) {
      if (it->second.waiter) it->second.waiter->timer.cancel();
      it = subscriptions_.erase(it);
    } else {
      ++it;
    }
  }
}

void OnvifFace::Impl::AnswerPull(Subscription& sub, int limit, const std::string& relatesTo,
                                 const Respond& respond) {
  ov::PullMessagesResult result;
  result.currentTime = DeviceNow();
  result.terminationTime = sub.terminationUnix;
  while (!sub.queue.empty() && static_cast<int>(result.messages.size()) < limit) {
    result.messages.push_back(std::move(sub.queue.front()));
    sub.queue.pop_front();
  }
  respond(SoapAnswer(ov::BuildPullMessagesResponse(result, relatesTo)));
}

namespace {

// The termination time asked for, bounded, on the device's clock.
int64_t TerminationFrom(const ov::TerminationRequest& t, int64_t now) {
  int64_t at = now + kDefaultTerminationSeconds;
  if (t.relativeMs) at = now + *t.relativeMs / 1000;
  if (t.absoluteUnix) at = *t.absoluteUnix;
  return std::clamp(at, now + 1, now + kMaxTerminationSeconds);
}

}  // namespace

void OnvifFace::Impl::Events(ov::Operation op, std::string_view path, const ov::XmlElement& body,
                             const ov::RequestHeader& header, Respond respond) {
  PurgeSubscriptions();
  const std::string& relatesTo = header.addressing.messageId;
  const int64_t now = DeviceNow();
  if (op == ov::Operation::kCreatePullPointSubscription) {
    auto r = ov::ParseCreatePullPointSubscriptionRequest(body);
    if (!r) return respond(BadArgument(r.error()));
    if (subscriptions_.size() >= kMaxSubscriptions)
      return respond(FaultAnswer("Receiver", "ter:Action", "too many subscriptions"));
    const uint64_t id = nextSubscription_++;
    auto& sub = subscriptions_[id];
    sub.terminationUnix = TerminationFrom(*r, now);
    return respond(SoapAnswer(ov::BuildCreatePullPointSubscriptionResponse(
        Base() + "/onvif/subscription/" + std::to_string(id), {now, sub.terminationUnix},
        relatesTo)));
  }
  // The rest address one subscription by its path.
  constexpr std::string_view kPrefix = "/onvif/subscription/";
  std::optional<int64_t> id;
  if (path.starts_with(kPrefix)) id = ov::ParseInteger(path.substr(kPrefix.size()), 1, INT64_MAX);
  auto it = id ? subscriptions_.find(static_cast<uint64_t>(*id)) : subscriptions_.end();
  if (it == subscriptions_.end())
    return respond(FaultAnswer("Sender", "ter:InvalidArgVal", "no such subscription"));
  auto& sub = it->second;
  switch (op) {
    case ov::Operation::kPullMessages: {
      auto r = ov::ParsePullMessagesRequest(body);
      if (!r) return respond(BadArgument(r.error()));
      const int limit = std::clamp(r->messageLimit, 1, static_cast<int>(ov::kMaxNotifications));
      if (sub.waiter) sub.waiter->timer.cancel();  // a newer pull replaces it
      if (!sub.queue.empty() || r->timeoutMs <= 0)
        return AnswerPull(sub, limit, relatesTo, respond);
      auto waiter = std::make_shared<Waiter>(strand_);
      waiter->limit = limit;
      waiter->relatesTo = relatesTo;
      waiter->respond = std::move(respond);
      sub.waiter = waiter;
      const uint64_t key = it->first;
      waiter->timer.expires_after(
          std::chrono::milliseconds(std::min(r->timeoutMs, kMaxPullWaitMs)));
      waiter->timer.async_wait([self = shared_from_this(), waiter, key](const asio::error_code&) {
        auto found = self->subscriptions_.find(key);
        if (found == self->subscriptions_.end()) {
          // Gone meanwhile (unsubscribed, expired or closed): answer empty.
          ov::PullMessagesResult empty;
          empty.currentTime = self->DeviceNow();
          return waiter->respond(
              SoapAnswer(ov::BuildPullMessagesResponse(empty, waiter->relatesTo)));
        }
        if (found->second.waiter == waiter) found->second.waiter.reset();
        self->AnswerPull(found->second, waiter->limit, waiter->relatesTo, waiter->respond);
      });
      return;
    }
    case ov::Operation::kRenew: {
      auto r = ov::ParseRenewRequest(body);
      if (!r) return respond(BadArgument(r.error()));
      sub.terminationUnix = TerminationFrom(*r, now);
      return respond(SoapAnswer(ov::BuildRenewResponse({now, sub.terminationUnix}, relatesTo)));
    }
    default: {
      if (auto r = ov::ParseUnsubscribeRequest(body); !r) return respond(BadArgument(r.error()));
      auto waiter = sub.waiter;
      subscriptions_.erase(it);
      if (waiter) waiter->timer.cancel();
      return respond(SoapAnswer(ov::BuildUnsubscribeResponse(relatesTo)));
    }
  }
}

void OnvifFace::Impl::OnAlarm(int32_t value) {
  asio::post(strand_, [self = shared_from_this(), value, at = DeviceNow()] {
    if (self->closed_) return;
    self->PurgeSubscriptions();
    ov::NotificationMessage m;
    m.topicNamespace = std::string(ov::ns::kTopics);
    m.utcTime = at;
    m.propertyOperation = "Changed";
    if (value < 0) {
      m.topic = "tns1:Device/Trigger/DigitalInput";
      m.topicPath = "Device/Trigger/DigitalInput";
      m.source = {{"InputToken", "DigitalInput_" + std::to_string(-static_cast<int64_t>(value))}};
      m.data = {{"LogicalState", "true"}};
    } else {
      m.topic = "tns1:VideoSource/MotionAlarm";
      m.topicPath = "VideoSource/MotionAlarm";
      m.source = {{"Source", "VideoSource_1"}};
      m.data = {{"State", "true"}};
    }
    for (auto& [id, sub] : self->subscriptions_) {
      // A subscriber that does not pull loses its oldest events, not memory.
      if (sub.queue.size() >= kMaxQueuedEvents) sub.queue.pop_front();
      sub.queue.push_back(m);
      if (sub.waiter) sub.waiter->timer.cancel();
    }
  });
}

std::shared_ptr<OnvifFace> OnvifFace::Create(asio::io_context& io, OnvifFaceOptions options,
                                             std::weak_ptr<OnvifDevice> device,
                                             std::string* error) {
  auto impl = std::make_shared<Impl>(io, std::move(options), std::move(device));
  if (!impl->Bind(error)) return nullptr;
  impl->Begin();
  return std::shared_ptr<OnvifFace>(new OnvifFace(std::move(impl)));
}

OnvifFace::~OnvifFace() {
  impl_->Close(false);
}
void OnvifFace::Close() {
  impl_->Close(true);
}
void OnvifFace::OnAlarm(int32_t value) {
  impl_->OnAlarm(value);
}

}  // namespace qrv::sim
