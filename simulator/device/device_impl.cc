#include "simulator/device/device_impl.h"

#include <cstdio>
#include <future>

#include "tmcc/native/codec/auth.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;

namespace {

std::string ValidateConfig(const DeviceConfig& c) {
  asio::error_code error;
  const auto address = asio::ip::make_address_v4(c.address, error);
  if (error || !address.is_loopback()) return "device address must be a 127.x.y.z address";
  asio::ip::make_address_v4(c.alarmHost, error);
  if (error) return "alarm host must be a dotted IPv4 address";
  if (c.controlPort == 0 || c.streamPort == 0 || c.controlPort == c.streamPort)
    return "control and stream ports must be non-zero and different";
  if (c.user.empty() || c.user.size() > proto::kMaxUserText)
    return "user name must have 1..31 characters";
  if (c.password.size() > proto::kMaxUserText) return "password must have at most 31 characters";
  if (c.model.size() > proto::kMaxModelText || c.identity.size() > proto::kMaxIdentityText ||
      c.mask.size() > proto::kMaxDottedText || c.gateway.size() > proto::kMaxDottedText)
    return "model, identity, mask or gateway text too long";
  if (c.flood && !c.replay) return "flood mode needs replay mode";
  if (c.h265NalHeaders && c.replay) return "H.265 NAL headers need live mode";
  if (c.h265 && c.replay) return "H.265 video needs live mode";
  if (c.h265 && c.h265NalHeaders) return "H.265 video and H.265 NAL headers exclude each other";
  if (c.rtspPort != 0 && (c.rtspPort == c.controlPort || c.rtspPort == c.streamPort))
    return "the RTSP port must differ from the control and stream ports";
  // RTSP describes its video by its codec: a stream that only looks like
  // H.265 would be served under a false description.
  if (c.rtspPort != 0 && c.h265NalHeaders) return "the RTSP face serves real H.264 or H.265 only";
  return ValidateMediaSettings(c.media);
}

}  // namespace

Device::Impl::Impl(asio::io_context& io, DeviceConfig config)
    : io_(io),
      strand_(asio::make_strand(io)),
      config_(std::move(config)),
      controlAcceptor_(strand_),
      streamAcceptor_(strand_),
      tickTimer_(strand_),
      alarmTimer_(strand_),
      restartTimer_(strand_),
      media_(config_.media),
      ptz_(std::chrono::steady_clock::now()) {}

Device::Impl::~Impl() = default;

template <class F>
auto Device::Impl::OnStrand(F f) -> decltype(f()) {
  if (strand_.running_in_this_thread()) return f();
  std::packaged_task<decltype(f())()> task(std::move(f));
  auto result = task.get_future();
  asio::post(strand_, [&task] { task(); });
  return result.get();
}

bool Device::Impl::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = config_.address + ": " + why;
    return false;
  };
  if (auto why = ValidateConfig(config_); !why.empty()) return fail(why);
  std::string why;
  source_ = MediaSource::Create(config_.media, config_.replay, config_.h265NalHeaders, config_.h265,
                                &why);
  if (!source_) return fail(why);
  rtsp_ = std::make_unique<RtspFace>(strand_, config_, std::weak_ptr<RtspHost>(shared_from_this()));
  if (config_.onvifPort != 0) {
    onvif_ = OnvifFace::Create(io_, OnvifOptions(), weak_from_this(), &why);
    if (!onvif_) return fail(why);
  }
  if (!Listen(&why)) {
    // Nothing is left behind: the face goes with the other listeners.
    if (onvif_) onvif_->Close();
    onvif_.reset();
    return fail(why);
  }
  running_ = true;
  Record([](Observations& o) { o.running = true; });
  asio::post(strand_, [self = shared_from_this()] { self->BeginServing(); });
  return true;
}

OnvifFaceOptions Device::Impl::OnvifOptions() const {
  OnvifFaceOptions o;
  o.address = config_.address;
  o.port = config_.onvifPort;
  o.discoveryPort = config_.onvifDiscoveryPort;
  o.multicastDiscovery = config_.onvifMulticast;
  // Where the RTSP face listens; the standard port when it is off.
  o.rtspPort = config_.rtspPort != 0 ? config_.rtspPort : 554;
  o.user = config_.user;
  o.password = config_.password;
  o.model = config_.model;
  o.clockOffsetSeconds = config_.onvifClockOffsetSeconds;
  o.name = config_.identity.empty() ? "sim-" + config_.address : config_.identity;
  // Stable per address, so a client sees the same device across runs.
  asio::error_code ignored;
  const auto bytes = asio::ip::make_address_v4(config_.address, ignored).to_bytes();
  char tail[13];
  std::snprintf(tail, sizeof tail, "0000%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
  o.endpoint = std::string("urn:uuid:51525600-0000-4000-8000-") + tail;
  return o;
}

PtzPosition Device::Impl::OnvifPtzPosition() const {
  std::lock_guard<std::mutex> lock(obsMutex_);
  return ptz_.Position(std::chrono::steady_clock::now());
}

void Device::Impl::OnvifSnapshot(std::function<void(std::vector<uint8_t>)> done) {
  asio::post(strand_, [this, self = shared_from_this(), done = std::move(done)] {
    if (stopped_ || !source_) return done({});
    const auto view = OnvifPtzPosition();
    auto jpeg = source_->Snapshot(view);
    Record([](Observations& o) { ++o.snapshots; });
    done(std::move(jpeg));
  });
}

bool Device::Impl::Listen(std::string* error) {
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(config_.address, ec);
  for (auto [acceptor, port] : {std::pair{&controlAcceptor_, config_.controlPort},
                                std::pair{&streamAcceptor_, config_.streamPort}}) {
    acceptor->open(asio::ip::tcp::v4(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind({address, port}, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      if (error) *error = "cannot listen on port " + std::to_string(port) + ": " + ec.message();
      asio::error_code ignored;
      controlAcceptor_.close(ignored);
      streamAcceptor_.close(ignored);
      return false;
    }
  }
  if (!rtsp_->Listen(error)) {
    asio::error_code ignored;
    controlAcceptor_.close(ignored);
    streamAcceptor_.close(ignored);
    return false;
  }
  return true;
}

void Device::Impl::BeginServing() {
  if (stopped_) return;
  Accept(controlAcceptor_, Session::Kind::kControl, generation_);
  Accept(streamAcceptor_, Session::Kind::kStream, generation_);
  rtsp_->BeginServing();
  nextTick_ = std::chrono::steady_clock::now();
  ScheduleTick(generation_);
  ScheduleAlarm(generation_);
}

void Device::Impl::Accept(asio::ip::tcp::acceptor& acceptor, Session::Kind kind,
                          uint64_t generation) {
  acceptor.async_accept(asio::bind_executor(
      strand_, [this, self = shared_from_this(), &acceptor, kind, generation](
                   const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (stopped_ || generation != generation_ || !acceptor.is_open()) return;
        if (!error) {
          auto session = std::make_shared<Session>(strand_, std::move(socket), kind,
                                                   std::weak_ptr<SessionHost>(self));
          sessions_.push_back(session);
          session->Start();
          Accept(acceptor, kind, generation);
          return;
        }
        // Out of descriptors, say: try again shortly instead of spinning. (A
        // timer per failure: the two acceptors may fail together.)
        auto pause = std::make_shared<asio::steady_timer>(strand_, std::chrono::milliseconds(100));
        pause->async_wait(asio::bind_executor(
            strand_, [this, self, pause, &acceptor, kind, generation](const asio::error_code& e) {
              if (!e && !stopped_ && generation == generation_ && acceptor.is_open()) {
                Accept(acceptor, kind, generation);
              }
            }));
      }));
}

void Device::Impl::CloseSessions() {
  // Close() calls OnClosed, which edits sessions_: work on a copy.
  auto sessions = sessions_;
  for (auto& s : sessions) s->Close();
  sessions_.clear();
  if (rtsp_) rtsp_->CloseConnections();
}

void Device::Impl::StopServing() {
  ++generation_;
  asio::error_code ignored;
  controlAcceptor_.close(ignored);
  streamAcceptor_.close(ignored);
  if (rtsp_) rtsp_->StopServing();
  tickTimer_.cancel();
  alarmTimer_.cancel();
  restartTimer_.cancel();
  CloseSessions();
  running_ = false;
  Record([](Observations& o) { o.running = false; });
}

void Device::Impl::Stop() {
  OnStrand([this] {
    if (stopped_) return;
    StopServing();
    stopped_ = true;
  });
  // Outside the strand: Close waits for the face's own strand.
  if (onvif_) onvif_->Close();
}

MediaSettings Device::Impl::CurrentMedia() const {
  std::lock_guard<std::mutex> lock(obsMutex_);
  return media_;
}

Observations Device::Impl::Observe() const {
  std::lock_guard<std::mutex> lock(obsMutex_);
  Observations copy = obs_;
  copy.ptz = ptz_.Position(std::chrono::steady_clock::now());
  return copy;
}

bool Device::Impl::WaitFor(const std::function<bool(const Observations&)>& pred,
                           std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    uint64_t version = 0;
    Observations copy;
    {
      std::lock_guard<std::mutex> lock(obsMutex_);
      version = obsVersion_;
      copy = obs_;
      // The position moves with time, so it is computed for each check.
      copy.ptz = ptz_.Position(std::chrono::steady_clock::now());
    }
    // The predicate runs without the lock, so it may call back into the device.
    if (pred(copy)) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // Woken by every recorded change; the short cap lets a moving PTZ
    // position be re-checked without any event.
    std::unique_lock<std::mutex> lock(obsMutex_);
    obsChanged_.wait_for(lock,
                         std::min<std::chrono::steady_clock::duration>(
                             deadline - now, std::chrono::milliseconds(20)),
                         [&] { return obsVersion_ != version; });
  }
}

int32_t Device::Impl::Ptz(int32_t code, int32_t param1, int32_t param2) {
  int32_t result = 0;
  Record([&](Observations& o) {
    result = ptz_.Apply(code, param1, param2, std::chrono::steady_clock::now());
    ++o.ptzRequests;
    o.lastPtzCode = code;
    o.lastPtzParam1 = param1;
    o.lastPtzParam2 = param2;
    o.lastPtzResult = result;
  });
  return result;
}

std::vector<uint8_t> Device::Impl::Snapshot() {
  return OnStrand([this] {
    PtzPosition view;
    {
      std::lock_guard<std::mutex> lock(obsMutex_);
      view = ptz_.Position(std::chrono::steady_clock::now());
    }
    auto jpeg = source_->Snapshot(view);
    Record([](Observations& o) { ++o.snapshots; });
    return jpeg;
  });
}

void Device::Impl::SetStall(bool on) {
  stalled_ = on;
  if (on) return;
  asio::post(strand_, [this, self = shared_from_this()] {
    if (stopped_ || stalled_) return;
    auto sessions = sessions_;
    for (auto& s : sessions) s->Resume();
    if (rtsp_) rtsp_->Resume();
    if (source_ && !source_->Replay()) source_->RequestKeyFrame();
  });
}

void Device::Impl::DropAllConnections() {
  OnStrand([this] { CloseSessions(); });
}

void Device::Impl::StopMedia() {
  // On the strand, where every frame is queued and counted: once this
  // returns no further frame is.
  OnStrand([this] {
    mediaStopped_ = true;
    tickTimer_.cancel();
  });
}

void Device::Impl::Restart(std::chrono::milliseconds delay, const MediaSettings* newMedia) {
  std::optional<MediaSettings> media;
  if (newMedia) media = *newMedia;
  OnStrand([this, delay, media] {
    if (stopped_) return;
    StopServing();
    const uint64_t generation = generation_;
    restartTimer_.expires_after(delay);
    restartTimer_.async_wait(asio::bind_executor(
        strand_, [this, self = shared_from_this(), generation, media](const asio::error_code& e) {
          if (e || stopped_ || generation != generation_) return;
          if (media) {
            std::string why;
            // Invalid new settings keep the old ones: a restart never leaves
            // the device without media.
            if (auto source = MediaSource::Create(*media, config_.replay, config_.h265NalHeaders,
                                                  config_.h265, &why)) {
              source_ = std::move(source);
              std::lock_guard<std::mutex> lock(obsMutex_);
              media_ = *media;
            }
          } else if (!source_->Replay()) {
            source_->RequestKeyFrame();
          }
          RetryListen(generation);
        }));
  });
}

void Device::Impl::RetryListen(uint64_t generation) {
  if (stopped_ || generation != generation_) return;
  if (!Listen(nullptr)) {
    // The address may still be held a moment; try again shortly.
    restartTimer_.expires_after(std::chrono::milliseconds(100));
    restartTimer_.async_wait(asio::bind_executor(
        strand_, [this, self = shared_from_this(), generation](const asio::error_code& e) {
          if (!e) RetryListen(generation);
        }));
    return;
  }
  running_ = true;
  Record([](Observations& o) {
    o.running = true;
    ++o.restarts;
  });
  BeginServing();
}

void Device::Impl::InjectStreamFault(int fault) {
  OnStrand([this, fault] {
    for (auto& s : sessions_)
      if (s->kind() == Session::Kind::kStream && s->LoggedIn()) s->pendingFault = fault;
  });
}

bool Device::Impl::AnswersDiscovery(uint16_t port) const {
  const uint16_t wanted = config_.discoveryPort ? config_.discoveryPort : proto::kDiscoveryPort;
  return config_.answerDiscovery && port == wanted && running_ && !stalled_;
}

proto::ProbeAnswer Device::Impl::MakeProbeAnswer(uint32_t probeId) const {
  proto::ProbeAnswer a;
  a.probeId = probeId;
  a.controlPort = config_.controlPort;
  a.streamPort = config_.streamPort;
  a.mac = config_.mac;
  a.model = config_.model;
  a.identity = config_.identity;
  a.address = config_.address;
  a.mask = config_.mask;
  a.gateway = config_.gateway;
  return a;
}

void Device::Impl::NoteDiscoveryAnswer() {
  Record([](Observations& o) { ++o.discoveryAnswers; });
}

proto::LoginStatus Device::Impl::CheckLogin(Session& session, const proto::Login& login,
                                            const proto::Nonce& serverNonce,
                                            proto::Proof& serverProof) {
  const auto wanted = session.kind() == Session::Kind::kControl ? proto::Purpose::kControl
                                                                : proto::Purpose::kStream;
  proto::LoginStatus status = proto::LoginStatus::kAccepted;
  if (login.purpose != wanted) {
    status = proto::LoginStatus::kPurposeUnsupported;
  } else {
    const auto expected =
        proto::ComputeClientProof(config_.password, serverNonce, login.clientNonce, login.purpose,
                                  login.streamType, login.user);
    // Compare the proof even for a wrong user, so timing tells nothing.
    const bool proofOk = proto::ProofsEqual(expected, login.proof);
    if (refuseLogins_ || login.user != config_.user || !proofOk)
      status = proto::LoginStatus::kCredentialsRefused;
  }
  if (status == proto::LoginStatus::kAccepted)
    serverProof = proto::ComputeServerProof(config_.password, login.clientNonce, serverNonce);
  Record([&](Observations& o) {
    o.lastUser = login.user;
    if (status != proto::LoginStatus::kAccepted) {
      ++o.refusedLogins;
    } else if (session.kind() == Session::Kind::kControl) {
      ++o.logins;
      ++o.activeLogins;
    }
  });
  return status;
}

void Device::Impl::OnLoggedIn(const std::shared_ptr<Session>& session) {
  if (session->kind() == Session::Kind::kStream) StartStream(session);
}

void Device::Impl::OnClosed(Session& session) {
  std::erase_if(sessions_, [&](const std::shared_ptr<Session>& s) { return s.get() == &session; });
  if (!session.LoggedIn()) return;
  if (session.holdsVoice) EndVoice();
  Record([&](Observations& o) {
    if (session.kind() == Session::Kind::kControl) {
      --o.activeLogins;
    } else if (auto* s = StreamObs(session)) {
      s->active = false;
    }
  });
}

void Device::Impl::OnHeartbeat() {
  Record([](Observations& o) { ++o.heartbeats; });
}

}  // namespace qrv::sim
