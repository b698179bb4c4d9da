#include "tmcc/onvif/onvif_session.h"

#include <algorithm>

#include "devicelib/tmcc_errors.h"
#include "tmcc/common/service_uri.h"
#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/rtsp/codec/url.h"
#include "tmcc/rtsp/rtsp_session.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
namespace pr = qrv::tmcc::protocol;

namespace {

constexpr std::string_view kSoapType = "application/soap+xml; charset=utf-8";

int64_t NowUnix() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Success(int status) {
  return status >= 200 && status <= 299;
}

// What an answer we could not use means. During the login a NotAuthorized
// fault (or an HTTP 401 or 403 without one) is a refused login; after it,
// every fault is the camera refusing the request.
int32_t FailureOf(const SoapAnswer& answer, const ov::Error& error, bool login) {
  if (error.kind == ov::ErrorKind::kFault) {
    return login && error.NotAuthorized() ? dl::kErrAuthRefused : dl::kErrDeviceRefused;
  }
  if (Success(answer.httpStatus)) return dl::kErrProtocol;
  if (login && (answer.httpStatus == 401 || answer.httpStatus == 403)) return dl::kErrAuthRefused;
  return dl::kErrDeviceRefused;
}

bool IsJpeg(const std::string& body) {
  return body.size() >= 2 && static_cast<uint8_t>(body[0]) == 0xFF &&
         static_cast<uint8_t>(body[1]) == 0xD8;
}

}  // namespace

OnvifSession::OnvifSession(Strand strand, SessionParams params, SessionOwner* owner)
    : strand_(strand), params_(std::move(params)), owner_(owner), keepAlive_(strand_) {
  device_.port = params_.port;
  device_.path = params_.onvifPath.empty() ? "/onvif/device_service" : params_.onvifPath;
}

OnvifSession::~OnvifSession() = default;

void OnvifSession::Start(EstablishedHandler done) {
  established_ = std::move(done);
  phase_ = Phase::kLogin;
  loginDeadline_ = Deadline();
  AskClock();
}

std::optional<ov::UsernameToken> OnvifSession::Token() {
  if (params_.user.empty()) return std::nullopt;
  return ov::NewUsernameToken(params_.user, params_.password, NowUnix(), clockOffset_);
}

// --- exchanges ---

void OnvifSession::Exchange(uint16_t port, HttpCall call, Clock::time_point deadline,
                            std::function<void(HttpReply)> done,
                            std::shared_ptr<HttpKeptConnection> kept) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (phase_ == Phase::kClosed || left.count() <= 0) {
    const int32_t result = phase_ == Phase::kClosed ? dl::kErrClosed : dl::kErrTimeout;
    asio::post(strand_, [done = std::move(done), result] { done(HttpReply{result, 0, {}, {}}); });
    return;
  }
  auto exchange = std::make_shared<HttpExchange>(
      strand_, asio::ip::tcp::endpoint(params_.address, port), params_.user, params_.password,
      params_.allowBasic, std::move(call), left, std::move(kept));
  exchanges_.push_back(exchange);
  std::weak_ptr<HttpExchange> weak = exchange;
  exchange->Start([self = shared_from_this(), weak, done = std::move(done)](HttpReply reply) {
    auto& list = self->exchanges_;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const auto& e) { return e == weak.lock() || !e; }),
               list.end());
    done(std::move(reply));
  });
}

void OnvifSession::Soap(const Service& service, std::string envelope, Clock::time_point deadline,
                        SoapDone done, std::shared_ptr<HttpKeptConnection> kept) {
  HttpCall call;
  call.method = "POST";
  call.target = service.path;
  call.contentType = std::string(kSoapType);
  call.body = std::move(envelope);
  call.maxBody = kOnvifSoapBody;
  Exchange(
      service.port, std::move(call), deadline,
      [done = std::move(done)](HttpReply reply) {
        SoapAnswer answer;
        answer.result = reply.result;
        answer.httpStatus = reply.status;
        answer.body = std::move(reply.body);
        done(answer);
      },
      std::move(kept));
}

void OnvifSession::Post(std::string path, std::string envelope, std::chrono::milliseconds timeout,
                        Done done) {
  int32_t refused = dl::kOk;
  if (phase_ != Phase::kUp) {
    refused = dl::kErrClosed;
  } else if (!path.starts_with('/')) {
    refused = dl::kErrProtocol;  // an address in a payload, or none: only paths are taken
  } else if (pendingRequests_ >= kOnvifPendingRequests) {
    refused = dl::kErrTimeout;  // the camera is not keeping up
  }
  if (refused != dl::kOk) {
    asio::post(strand_, [done = std::move(done), refused] { done(SoapAnswer{refused, 0, {}}); });
    return;
  }
  ++pendingRequests_;
  Service service{events_.path.empty() ? device_.port : events_.port, std::move(path)};
  const auto bounded = std::clamp(timeout, std::chrono::milliseconds(1), kOnvifLongestPost);
  // The event pulls, one after the other: one connection kept for them all.
  if (!postConnection_) postConnection_ = std::make_shared<HttpKeptConnection>(strand_);
  Soap(
      service, std::move(envelope), Clock::now() + bounded,
      [self = shared_from_this(), done = std::move(done)](const SoapAnswer& answer) {
        --self->pendingRequests_;
        // A failure status without a body is no SOAP exchange at all, and
        // a path that cannot go on a request line came from a payload.
        if ((answer.result == dl::kOk && answer.body.empty() && !Success(answer.httpStatus)) ||
            answer.result == dl::kErrInvalidArgument) {
          return done(SoapAnswer{dl::kErrProtocol, answer.httpStatus, {}});
        }
        done(answer);
      },
      postConnection_);
}

// --- login ---

void OnvifSession::AskClock() {
  Soap(device_, ov::BuildGetSystemDateAndTimeRequest(), loginDeadline_,
       [self = shared_from_this()](const SoapAnswer& answer) {
         if (self->phase_ != Phase::kLogin) return;
         if (answer.result != dl::kOk) return self->Fail(answer.result);
         auto time = ov::ParseGetSystemDateAndTimeResponse(answer.body);
         if (time) {
           self->clockOffset_ = time->utcUnix - NowUnix();
         } else if (time.error().kind != ov::ErrorKind::kFault) {
           return self->Fail(FailureOf(answer, time.error(), true));
         }
         // A camera that wants credentials even for its clock is taken to
         // run on ours.
         self->AskCapabilities();
       });
}

void OnvifSession::AskCapabilities() {
  Soap(device_, ov::BuildGetCapabilitiesRequest(Token()), loginDeadline_,
       [self = shared_from_this()](const SoapAnswer& answer) {
         if (self->phase_ != Phase::kLogin) return;
         if (answer.result != dl::kOk) return self->Fail(answer.result);
         auto caps = ov::ParseGetCapabilitiesResponse(answer.body);
         if (!caps) {
           if (caps.error().NotAuthorized()) return self->Fail(dl::kErrAuthRefused);
           // Some cameras answer an operation they lack with a bare HTTP 500
           // rather than a fault.
           if (caps.error().kind == ov::ErrorKind::kFault || answer.httpStatus == 500) {
             return self->AskServices();
           }
           return self->Fail(FailureOf(answer, caps.error(), true));
         }
         if (!self->TakeMedia(caps->media, caps->ptz, caps->events)) return;
         self->AskProfiles();
       });
}

void OnvifSession::AskServices() {
  Soap(device_, ov::BuildGetServicesRequest(Token(), false), loginDeadline_,
       [self = shared_from_this()](const SoapAnswer& answer) {
         if (self->phase_ != Phase::kLogin) return;
         if (answer.result != dl::kOk) return self->Fail(answer.result);
         auto services = ov::ParseGetServicesResponse(answer.body);
         if (!services) return self->Fail(FailureOf(answer, services.error(), true));
         std::string media, ptz, events;
         for (const auto& s : *services) {
           if (s.ns == ov::ns::kMedia && media.empty()) media = s.xaddr;
           if (s.ns == ov::ns::kPtz && ptz.empty()) ptz = s.xaddr;
           if (s.ns == ov::ns::kEvents && events.empty()) events = s.xaddr;
         }
         if (!self->TakeMedia(media, ptz, events)) return;
         self->AskProfiles();
       });
}

// Keeps the services' ports and paths; false (and the login failed) when the
// camera has no usable media service. An address naming no port keeps the
// device service's: behind a forwarded port, the camera's own 80 is not ours.
bool OnvifSession::TakeMedia(const std::string& media, const std::string& ptz,
                             const std::string& events) {
  auto place = [this](const std::string& xaddr) {
    Service service;
    if (auto at = LocateOnCamera(xaddr, device_.port)) {
      service.port = at->port;
      service.path = std::move(at->target);
    }
    return service;
  };
  media_ = place(media);
  ptz_ = place(ptz);
  events_ = place(events);
  if (media_.path.empty()) {
    Fail(media.empty() ? dl::kErrDeviceRefused : dl::kErrProtocol);
    return false;
  }
  return true;
}

void OnvifSession::AskProfiles() {
  Soap(media_, ov::BuildGetProfilesRequest(Token()), loginDeadline_,
       [self = shared_from_this()](const SoapAnswer& answer) {
         if (self->phase_ != Phase::kLogin) return;
         if (answer.result != dl::kOk) return self->Fail(answer.result);
         auto profiles = ov::ParseGetProfilesResponse(answer.body);
         if (!profiles) return self->Fail(FailureOf(answer, profiles.error(), true));
         if (profiles->empty()) return self->Fail(dl::kErrDeviceRefused);
         if (profiles->size() > kOnvifProfiles) profiles->resize(kOnvifProfiles);
         self->profiles_ = std::move(*profiles);
         if (self->params_.purpose == pr::Purpose::kStream) return self->AskStreamUri();
         self->Established();
       });
}

void OnvifSession::AskStreamUri() {
  if (params_.streamType >= profiles_.size()) {
    Fail(dl::kErrDeviceRefused);  // the camera has no such stream
    return;
  }
  Soap(media_, ov::BuildGetStreamUriRequest(Token(), profiles_[params_.streamType].token),
       loginDeadline_, [self = shared_from_this()](const SoapAnswer& answer) {
         if (self->phase_ != Phase::kLogin) return;
         if (answer.result != dl::kOk) return self->Fail(answer.result);
         auto uri = ov::ParseGetStreamUriResponse(answer.body);
         if (!uri) return self->Fail(FailureOf(answer, uri.error(), true));
         auto parts = SplitUri(uri->uri);
         if (!parts || parts->scheme != "rtsp") return self->Fail(dl::kErrProtocol);
         // The camera's own address, with only the port and path it named.
         const uint16_t port = parts->port.value_or(rtsp::kDefaultRtspPort);
         auto url = rtsp::ParseUrl("rtsp://" + self->params_.address.to_string() + ":" +
                                   std::to_string(port) + parts->target);
         if (!url.ok()) return self->Fail(dl::kErrProtocol);
         SessionParams inner = self->params_;
         inner.backend = Backend::kRtsp;
         inner.port = port;
         inner.rtspUrl = url.url.WithoutCredentials();
         const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
             self->loginDeadline_ - Clock::now());
         if (left.count() <= 0) return self->Fail(dl::kErrTimeout);
         inner.timeout = left;
         self->inner_ = std::make_shared<RtspSession>(self->strand_, std::move(inner), self.get());
         self->inner_->Start([self](int32_t result) {
           if (self->phase_ != Phase::kLogin) return;
           if (result != dl::kOk) return self->Fail(result);
           self->Established();
         });
       });
}

void OnvifSession::Established() {
  phase_ = Phase::kUp;
  if (params_.purpose == pr::Purpose::kControl) {
    ScheduleKeepAlive();
    StartEventWatcher();
  }
  if (auto done = std::move(established_)) done(dl::kOk);
}

// The login failed: the owner hears it through the established handler only.
void OnvifSession::Fail(int32_t reason) {
  if (phase_ == Phase::kClosed) return;
  End();
  if (auto done = std::move(established_)) done(reason);
}

// An established link ended by itself.
void OnvifSession::Lose(int32_t reason) {
  if (phase_ != Phase::kUp) return;
  End();
  owner_->OnSessionLost(*this, reason);
}

void OnvifSession::Close() {
  if (phase_ == Phase::kClosed) return;
  End();
  established_ = nullptr;
}

// On the strand: nothing of this link runs on afterwards but the kErrClosed
// answers of exchanges cut short.
void OnvifSession::End() {
  phase_ = Phase::kClosed;
  StopEventWatcher();
  keepAlive_.cancel();
  if (auto inner = std::move(inner_)) inner->Close();
  auto running = std::move(exchanges_);
  exchanges_.clear();
  for (auto& exchange : running) exchange->Cancel();
  if (postConnection_) postConnection_->Close();
}

void OnvifSession::ScheduleKeepAlive() {
  keepAlive_.expires_after(kOnvifKeepAlive);
  keepAlive_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (ec || self->phase_ != Phase::kUp) return;
    self->Soap(self->device_, ov::BuildGetSystemDateAndTimeRequest(), self->Deadline(),
               [self](const SoapAnswer& answer) {
                 if (self->phase_ != Phase::kUp) return;
                 if (answer.result != dl::kOk) return self->Lose(answer.result);
                 if (auto time = ov::ParseGetSystemDateAndTimeResponse(answer.body)) {
                   self->clockOffset_ = time->utcUnix - NowUnix();
                 }
                 self->ScheduleKeepAlive();
               });
  });
}

// The camera's events are pulled by a watcher posting through this link
// (SoapPoster); it runs while a control login is up. A camera without an
// event service has no events to give: nothing is started.
void OnvifSession::StartEventWatcher() {
  if (events_.path.empty() || watcher_) return;
  watcher_ = OnvifEventWatcher::Create(strand_, *this, events_.path, params_.address.to_string(),
                                       params_.clientHandle, params_.timeout);
  watcher_->Start();
}

// Stop sends Unsubscribe through this link only if the link still takes
// posts; End() stops the watcher before it cancels the exchanges, so the
// watcher's last one is answered kErrClosed and nothing follows.
void OnvifSession::StopEventWatcher() {
  if (auto watcher = std::move(watcher_)) watcher->Stop();
}

// --- stream purpose ---

void OnvifSession::OnSessionStream(Link& link, const pr::StreamData& data) {
  if (phase_ == Phase::kClosed || &link != inner_.get()) return;
  owner_->OnSessionStream(*this, data);
}

void OnvifSession::OnSessionLost(Link& link, int32_t reason) {
  if (&link != inner_.get()) return;
  Lose(reason);
}

void OnvifSession::OnSessionLoss(Link& link, uint64_t picturesDropped, uint64_t packetsLost) {
  if (phase_ == Phase::kClosed || &link != inner_.get()) return;
  owner_->OnSessionLoss(*this, picturesDropped, packetsLost);
}

// --- requests ---

void OnvifSession::Send(const pr::Request& request, AnswerHandler done) {
  if (phase_ != Phase::kUp) {
    done(dl::kErrNotConnected, nullptr);
    return;
  }
  std::optional<PtzAction> action;
  if (request.code == pr::RequestCode::kPtz) {
    action = MapPtzRequest(request.arg0, request.arg1, request.arg2);
    if (action->kind == PtzActionKind::kInvalid) {
      done(dl::kErrInvalidArgument, nullptr);
      return;
    }
    if (action->kind == PtzActionKind::kUnsupported || ptz_.path.empty()) {
      done(dl::kErrUnsupported, nullptr);
      return;
    }
  } else if (request.code != pr::RequestCode::kSnapshot) {
    // Key frames, talk and mute have no ONVIF way in the services we use.
    done(dl::kErrUnsupported, nullptr);
    return;
  }
  if (pendingRequests_ >= kOnvifPendingRequests) {
    done(dl::kErrBusy, nullptr);
    return;
  }
  ++pendingRequests_;
  AnswerDone finish = [self = shared_from_this(), done = std::move(done)](
                          int32_t result, const pr::Answer* answer) {
    --self->pendingRequests_;
    done(result, answer);
    self->reason_.clear();  // read inside done, if at all
  };
  if (action) {
    Ptz(*action, std::move(finish));
  } else {
    Snapshot(std::move(finish));
  }
}

void OnvifSession::Refuse(const AnswerDone& done, int32_t result, std::string reason) {
  reason_ = std::move(reason);
  done(result, nullptr);
}

std::string OnvifSession::At(std::string_view what, int32_t result, uint16_t port) const {
  return std::string(what) + ": " + dl::DescribeResult(result) + " at " +
         params_.address.to_string() + ":" + std::to_string(port);
}

void OnvifSession::Snapshot(AnswerDone done) {
  const auto deadline = Deadline();
  Soap(media_, ov::BuildGetSnapshotUriRequest(Token(), profiles_.front().token), deadline,
       [self = shared_from_this(), deadline, done = std::move(done)](const SoapAnswer& answer) {
         constexpr std::string_view kWhat = "snapshot: GetSnapshotUri";
         if (answer.result != dl::kOk) {
           return self->Refuse(done, answer.result,
                               self->At(kWhat, answer.result, self->media_.port));
         }
         auto uri = ov::ParseGetSnapshotUriResponse(answer.body);
         if (!uri) {
           return self->Refuse(done, FailureOf(answer, uri.error(), false),
                               std::string(kWhat) + ": " + uri.error().message);
         }
         auto parts = SplitUri(uri->uri);
         if (!parts) return self->Refuse(done, dl::kErrProtocol, "snapshot: an unusable URI");
         if (parts->scheme != "http") {
           return self->Refuse(done, dl::kErrUnsupported,
                               "snapshot: offered over " + parts->scheme + " only");
         }
         HttpCall call;
         call.method = "GET";
         call.target = std::move(parts->target);
         call.accept = "image/jpeg";
         call.maxBody = pr::kMaxMediaBytes;
         // Served by the same HTTP server as the services: no port is the
         // device service's, as for their addresses.
         const uint16_t port = parts->port.value_or(self->device_.port);
         self->Exchange(port, std::move(call), deadline, [self, done, port](HttpReply reply) {
           if (reply.result == dl::kErrProtocol) {
             return self->Refuse(done, reply.result, "snapshot: no whole HTTP answer within 4 MiB");
           }
           if (reply.result != dl::kOk) {
             return self->Refuse(done, reply.result, self->At("snapshot", reply.result, port));
           }
           if (reply.status != 200) {
             return self->Refuse(done, dl::kErrDeviceRefused,
                                 "snapshot: HTTP status " + std::to_string(reply.status));
           }
           if (reply.body.empty()) {
             return self->Refuse(done, dl::kErrProtocol, "snapshot: an empty picture");
           }
           if (!IsJpeg(reply.body)) {
             return self->Refuse(done, dl::kErrProtocol, "snapshot: not a JPEG");
           }
           pr::Answer picture;
           picture.width = static_cast<uint32_t>(
               std::max(0, self->profiles_.empty() ? 0 : self->profiles_[0].width));
           picture.height = static_cast<uint32_t>(
               std::max(0, self->profiles_.empty() ? 0 : self->profiles_[0].height));
           picture.data = std::span<const uint8_t>(
               reinterpret_cast<const uint8_t*>(reply.body.data()), reply.body.size());
           done(dl::kOk, &picture);
         });
       });
}

void OnvifSession::Ptz(const PtzAction& action, AnswerDone done) {
  // The first profile with a PTZ configuration moves the head.
  std::string profile = profiles_.front().token;
  for (const auto& p : profiles_) {
    if (p.hasPtz) {
      profile = p.token;
      break;
    }
  }
  const auto deadline = Deadline();
  auto empty = [done](const SoapAnswer& answer, auto parse) {
    if (answer.result != dl::kOk) return done(answer.result, nullptr);
    auto parsed = parse(answer.body);
    if (!parsed) return done(FailureOf(answer, parsed.error(), false), nullptr);
    pr::Answer ok;
    done(dl::kOk, &ok);
  };
  switch (action.kind) {
    case PtzActionKind::kMove: {
      ov::ContinuousMove move;
      move.profileToken = profile;
      move.panX = action.pan;
      move.tiltY = action.tilt;
      move.zoom = action.zoom;
      Soap(ptz_, ov::BuildContinuousMoveRequest(Token(), move), deadline,
           [empty](const SoapAnswer& answer) { empty(answer, ov::ParseContinuousMoveResponse); });
      return;
    }
    case PtzActionKind::kStop: {
      ov::StopMove stop;
      stop.profileToken = profile;
      stop.panTilt = action.stopPanTilt;
      stop.zoom = action.stopZoom;
      Soap(ptz_, ov::BuildStopRequest(Token(), stop), deadline,
           [empty](const SoapAnswer& answer) { empty(answer, ov::ParseStopResponse); });
      return;
    }
    default:
      PresetAction(action, profile, deadline, std::move(done));
      return;
  }
}

// Our presets are numbers; the camera's have tokens and names of its choosing
// (see FindPreset). Going to or clearing a preset the camera has not got is
// refused, never taken as done.
void OnvifSession::PresetAction(const PtzAction& action, const std::string& profile,
                                Clock::time_point deadline, AnswerDone done) {
  Soap(ptz_, ov::BuildGetPresetsRequest(Token(), profile), deadline,
       [self = shared_from_this(), action, profile, deadline,
        done = std::move(done)](const SoapAnswer& answer) {
         if (answer.result != dl::kOk) {
           return self->Refuse(done, answer.result,
                               self->At("GetPresets", answer.result, self->ptz_.port));
         }
         auto presets = ov::ParseGetPresetsResponse(answer.body);
         if (!presets) {
           return self->Refuse(done, FailureOf(answer, presets.error(), false),
                               "GetPresets: " + presets.error().message);
         }
         const ov::Preset* found = FindPreset(*presets, action.presetNumber);
         const std::string token = found != nullptr ? found->token : std::string();
         auto finish = [done](const SoapAnswer& a, auto parse) {
           if (a.result != dl::kOk) return done(a.result, nullptr);
           auto parsed = parse(a.body);
           if (!parsed) return done(FailureOf(a, parsed.error(), false), nullptr);
           pr::Answer ok;
           done(dl::kOk, &ok);
         };
         if (action.kind != PtzActionKind::kSetPreset && token.empty()) {
           return self->Refuse(
               done, dl::kErrDeviceRefused,
               "preset " + std::to_string(action.presetNumber) + ": the camera has no such preset");
         }
         switch (action.kind) {
           case PtzActionKind::kSetPreset:
             // A new preset is named by its number; one found keeps its name
             // (a camera may reset a name left out).
             self->Soap(self->ptz_,
                        ov::BuildSetPresetRequest(self->Token(), profile,
                                                  found != nullptr && !found->name.empty()
                                                      ? found->name
                                                      : std::to_string(action.presetNumber),
                                                  token),
                        deadline,
                        [finish](const SoapAnswer& a) { finish(a, ov::ParseSetPresetResponse); });
             return;
           case PtzActionKind::kGotoPreset:
             self->Soap(self->ptz_, ov::BuildGotoPresetRequest(self->Token(), profile, token),
                        deadline,
                        [finish](const SoapAnswer& a) { finish(a, ov::ParseGotoPresetResponse); });
             return;
           default: {
             self->Soap(
                 self->ptz_, ov::BuildRemovePresetRequest(self->Token(), profile, token), deadline,
                 [finish](const SoapAnswer& a) { finish(a, ov::ParseRemovePresetResponse); });
             return;
           }
         }
       });
}

}  // namespace qrv::tmcc
