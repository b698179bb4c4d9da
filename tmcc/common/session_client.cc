#include "tmcc/common/session_client.h"

#include <condition_variable>
#include <mutex>

#include "devicelib/tmcc_errors.h"
#include "tmcc/onvif/onvif_session.h"
#include "tmcc/rtsp/rtsp_session.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;

namespace {

// Hand-over of one result from the strand to a waiting caller. Shared, so a
// late completion after the caller gave up writes into live memory.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  CallResult value;

  void Complete(CallResult v) {
    std::lock_guard lock(mutex);
    if (done) return;
    value = std::move(v);
    done = true;
    cv.notify_all();
  }
  CallResult Wait(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, bound, [&] { return done; })) {
      done = true;
      return CallResult{dl::kErrTimeout, 0, 0, {}, {}};
    }
    return std::move(value);
  }
};

// The strand enforces the time-out itself; the caller's bound only guards
// against a pool too busy to run it.
constexpr std::chrono::milliseconds kWaitMargin{2000};

}  // namespace

SessionClient::SessionClient(int32_t kind)
    : Client(kind), reconnectTimer_(strand_), healthyTimer_(strand_) {}

int32_t SessionClient::Open(SessionParams params) {
  if (strand_.running_in_this_thread()) return dl::kErrBusy;
  params.timeout = timeout();
  params.clientHandle = handle();
  auto waiter = std::make_shared<Waiter>();
  auto self = std::static_pointer_cast<SessionClient>(shared_from_this());
  asio::post(strand_, [self, waiter, params] {
    if (self->shuttingDown()) {
      waiter->Complete({dl::kErrClosed, 0, 0, {}, {}});
      return;
    }
    if (self->session_ || self->wanted_) {
      waiter->Complete({dl::kErrBusy, 0, 0, {}, {}});
      return;
    }
    self->params_ = params;
    auto session = self->MakeLink();
    self->session_ = session;
    ++self->attempts_;
    session->Start([self, waiter, session](int32_t result) {
      if (self->session_ != session) {  // stopped meanwhile
        waiter->Complete({dl::kErrClosed, 0, 0, {}, {}});
        return;
      }
      if (result == dl::kOk) {
        self->wanted_ = true;
        self->CountUp();
        self->up_ = true;
        self->backoff_.Reset();
        self->OnUp();
      } else {
        self->session_.reset();
      }
      waiter->Complete(
          {result, 0, 0, {}, result == dl::kOk ? std::string() : session->FailureReason()});
    });
  });
  CallResult r = waiter->Wait(params.timeout + kWaitMargin);
  SetLastError(r.result == dl::kOk ? std::string() : std::move(r.reason));
  return r.result;
}

void SessionClient::Stop() {
  auto self = std::static_pointer_cast<SessionClient>(shared_from_this());
  RunOnStrand([self] { self->StopOnStrand(); });
}

void SessionClient::StopOnStrand() {
  wanted_ = false;
  reconnectTimer_.cancel();
  healthyTimer_.cancel();
  if (auto session = std::move(session_)) {
    session_.reset();
    session->Close();
  }
  if (up_) {
    CountDown(dl::kOk);
    up_ = false;
    OnDown(dl::kOk);
  }
}

int32_t SessionClient::Call(const protocol::Request& request, CallResult* out) {
  if (strand_.running_in_this_thread()) return dl::kErrBusy;
  if (!up_) return dl::kErrNotConnected;
  auto waiter = std::make_shared<Waiter>();
  auto self = std::static_pointer_cast<SessionClient>(shared_from_this());
  asio::post(strand_, [self, waiter, request] {
    if (!self->session_ || !self->up_) {
      waiter->Complete({dl::kErrNotConnected, 0, 0, {}, {}});
      return;
    }
    self->session_->Send(request, [self, waiter](int32_t result, const protocol::Answer* answer) {
      CallResult r{result, 0, 0, {}, {}};
      if (result != dl::kOk && self->session_) r.reason = self->session_->FailureReason();
      if (answer != nullptr) {
        r.width = answer->width;
        r.height = answer->height;
        r.data.assign(answer->data.begin(), answer->data.end());
      }
      waiter->Complete(std::move(r));
    });
  });
  CallResult r = waiter->Wait(timeout() + kWaitMargin);
  int32_t result = r.result;
  SetLastError(result == dl::kOk ? std::string() : r.reason);
  if (out != nullptr) *out = std::move(r);
  return result;
}

void SessionClient::SetLastError(std::string text) {
  std::lock_guard lock(lastErrorMutex_);
  lastError_ = std::move(text);
}

std::string SessionClient::LastError() const {
  std::lock_guard lock(lastErrorMutex_);
  return lastError_;
}

void SessionClient::OnSessionLost(Link& link, int32_t reason) {
  if (session_.get() != &link) return;
  // A callback below may release this client's handle; stay alive until done.
  auto self = shared_from_this();
  auto keep = std::move(session_);  // the session finishes its handler first
  session_.reset();
  healthyTimer_.cancel();
  CountDown(reason);
  up_ = false;
  OnDown(reason);
  if (wanted_ && autoReconnect()) ScheduleReconnect();
}

void SessionClient::ScheduleReconnect() {
  reconnectTimer_.expires_after(backoff_.Next());
  auto self = std::static_pointer_cast<SessionClient>(shared_from_this());
  reconnectTimer_.async_wait([self](const asio::error_code& ec) {
    if (ec || !self->wanted_ || self->session_) return;
    if (!self->autoReconnect()) return;
    self->Attempt();
  });
}

void SessionClient::Attempt() {
  auto self = std::static_pointer_cast<SessionClient>(shared_from_this());
  params_.timeout = timeout();
  auto session = MakeLink();
  session_ = session;
  ++attempts_;
  session->Start([self, session](int32_t result) {
    if (self->session_ != session) return;  // stopped meanwhile
    if (result == dl::kOk) {
      self->CountUp();
      self->up_ = true;
      self->WatchHealth(session);
      self->OnUp();
      return;
    }
    // A host asking why the stream is gone learns why it stays gone.
    self->SetLastError(session->FailureReason());
    self->session_.reset();
    if (self->wanted_ && self->autoReconnect()) self->ScheduleReconnect();
  });
}

}  // namespace qrv::tmcc

namespace qrv::tmcc {

// On the strand: resets the backoff once this session has stayed up long
// enough (a protocol error or loss before that ends it and cancels this).
void SessionClient::WatchHealth(const std::shared_ptr<Link>& session) {
  healthyTimer_.expires_after(kHealthyAfter);
  auto self = std::static_pointer_cast<SessionClient>(shared_from_this());
  std::weak_ptr<Link> watched = session;
  healthyTimer_.async_wait([self, watched](const asio::error_code& ec) {
    if (ec || !self->up_) return;
    auto current = watched.lock();
    if (current && current == self->session_) self->backoff_.Reset();
  });
}

// On the strand.
std::shared_ptr<Link> SessionClient::MakeLink() {
  if (params_.backend == Backend::kRtsp)
    return std::make_shared<RtspSession>(strand_, params_, this);
  if (params_.backend == Backend::kOnvif)
    return std::make_shared<OnvifSession>(strand_, params_, this);
  return std::make_shared<Session>(strand_, params_, this);
}

void SessionClient::MarkHealthy() {
  if (!up_) return;
  healthyTimer_.cancel();
  backoff_.Reset();
}

}  // namespace qrv::tmcc

namespace qrv::tmcc {

void SessionClient::CountUp() {
  if (lost_.exchange(false)) {
    const auto outage = std::chrono::steady_clock::now() - lostAt_;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(outage).count();
    lastOutageMs_.store(static_cast<uint32_t>(ms > 0xFFFFFFFFLL ? 0xFFFFFFFFLL : ms));
    reconnects_.fetch_add(1);
  }
}

void SessionClient::CountDown(int32_t reason) {
  // A stop on request is no outage; a loss is, until the session is back.
  if (reason != dl::kOk) {
    disconnects_.fetch_add(1);
    lostAt_ = std::chrono::steady_clock::now();
    lost_.store(true);
  } else {
    lost_.store(false);
  }
}

// On the strand, from the current link only.
void SessionClient::OnSessionLoss(Link& link, uint64_t picturesDropped, uint64_t packetsLost) {
  if (session_.get() != &link) return;
  picturesDropped_.fetch_add(picturesDropped, std::memory_order_relaxed);
  packetsLost_.fetch_add(packetsLost, std::memory_order_relaxed);
}

dl::ConnectionStats SessionClient::Stats() const {
  auto clamp = [](uint64_t v) { return static_cast<uint32_t>(v > 0xFFFFFFFFu ? 0xFFFFFFFFu : v); };
  dl::ConnectionStats stats;
  stats.connected = IsUp() ? 1 : 0;
  stats.disconnects = disconnects_.load();
  stats.reconnects = reconnects_.load();
  stats.lastOutageMs = lastOutageMs_.load();
  stats.picturesDropped = clamp(picturesDropped_.load(std::memory_order_relaxed));
  stats.packetsLost = clamp(packetsLost_.load(std::memory_order_relaxed));
  return stats;
}

}  // namespace qrv::tmcc
