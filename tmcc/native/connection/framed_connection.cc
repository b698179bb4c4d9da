#include "tmcc/native/connection/framed_connection.h"

#include <algorithm>

#include "tmcc/common/receive_batch.h"

namespace qrv::tmcc::connection {

namespace pr = qrv::tmcc::protocol;

namespace {
// Deadlines are checked this many times per (shortest) limit.
constexpr int kTicksPerLimit = 4;
// At most this much queued output goes into one write.
constexpr size_t kMaxGather = 64;
constexpr size_t kMaxGatherBytes = 1024 * 1024;
// Reads per wake-up at most, so one flooding peer leaves the thread to others.
constexpr int kMaxReadsPerWake = 4;
constexpr size_t kSharedReadBuffer = 256 * 1024;

// One receive buffer per thread, used by whichever connection reads on it:
// it stays in the cache. Only frames split across reads are copied out.
std::span<uint8_t> SharedReadBuffer() {
  thread_local std::vector<uint8_t> buffer(kSharedReadBuffer);
  return buffer;
}

int TicksFor(std::chrono::milliseconds limit, std::chrono::milliseconds period) {
  if (limit.count() <= 0) return 0;
  return static_cast<int>((limit.count() + period.count() - 1) / period.count());
}
}  // namespace

const char* CloseReasonText(CloseReason reason) {
  switch (reason) {
    case CloseReason::kPeerClosed:
      return "closed by the peer";
    case CloseReason::kIoError:
      return "input/output error";
    case CloseReason::kBadFrame:
      return "malformed frame";
    case CloseReason::kQueueFull:
      return "peer does not read (queue full)";
    case CloseReason::kSlowFrame:
      return "frame not complete in time";
    case CloseReason::kIdle:
      return "peer silent";
    case CloseReason::kHandler:
      return "unexpected frame";
    case CloseReason::kFlushed:
      return "closed after sending";
  }
  return "?";
}

CutCounters& Cuts() {
  static CutCounters counters;
  return counters;
}

FramedConnection::FramedConnection(Strand strand, asio::ip::tcp::socket socket, Limits limits,
                                   Handler* handler)
    : strand_(strand),
      socket_(std::move(socket)),
      limits_(limits),
      handler_(handler),
      reader_(limits.readBuffer, limits.maxPayload),
      tick_(strand),
      pause_(strand) {
  asio::error_code ec;
  peer_ = socket_.remote_endpoint(ec);
}

FramedConnection::~FramedConnection() {
  asio::error_code ignored;
  socket_.close(ignored);
}

void FramedConnection::Start() {
  if (closed_) return;
  asio::error_code ignored;
  socket_.non_blocking(true, ignored);
  Read();
  if (limits_.frameTime.count() > 0 || limits_.idleTime.count() > 0) Tick();
}

void FramedConnection::Read() {
  // Wait for bytes, then read them ourselves: the read can then go into the
  // thread's shared buffer, and the wait costs no failed read afterwards.
  socket_.async_wait(
      asio::socket_base::wait_read,
      [self = shared_from_this()](const asio::error_code& ec) { self->OnReadable(ec); });
}

void FramedConnection::OnReadable(const asio::error_code& ec) {
  if (closed_) return;
  if (ec) {
    Cut(CloseReason::kIoError);
    return;
  }
  // Frames handed out from this read stay valid until the handlers' batch
  // ends: before the next read, the moving of a split frame, or the return.
  struct BatchEnder {
    ~BatchEnder() { EndReceiveBatch(); }
  } ender;
  for (int reads = 0; reads < kMaxReadsPerWake; ++reads) {
    auto space = reader_.Space(SharedReadBuffer());
    asio::error_code rec;
    const size_t n = socket_.read_some(asio::buffer(space.data(), space.size()), rec);
    if (rec == asio::error::would_block || rec == asio::error::try_again) break;
    if (rec) {
      Cut(rec == asio::error::eof || rec == asio::error::connection_reset ? CloseReason::kPeerClosed
                                                                          : CloseReason::kIoError);
      return;
    }
    reader_.Commit(n);
    bytesIn_ += n;
    while (!closed_) {
      auto r = reader_.Next();
      if (r.status == pr::DecodeStatus::kNeedMore) break;
      if (r.status == pr::DecodeStatus::kError) {
        Cut(CloseReason::kBadFrame);
        return;
      }
      ++frames_;
      if (!handler_->OnFrame(*this, r.frame)) {
        Cut(CloseReason::kHandler);
        return;
      }
    }
    EndReceiveBatch();
    if (closed_) return;
    // A short read took everything there was.
    if (n < space.size()) break;
  }
  // The shared buffer is the next connection's now.
  reader_.Release();
  Read();
}

bool FramedConnection::Send(std::vector<uint8_t> frame) {
  if (closed_ || closeAfterFlush_) return false;
  if (queuedBytes_ + frame.size() > limits_.maxQueuedBytes) {
    Cut(CloseReason::kQueueFull);
    return false;
  }
  queuedBytes_ += frame.size();
  queue_.push_back(std::move(frame));
  WriteNext();
  return true;
}

bool FramedConnection::TrySend(std::vector<uint8_t> frame, size_t softLimit) {
  if (closed_ || closeAfterFlush_) return false;
  if (queuedBytes_ > softLimit) return false;
  return Send(std::move(frame));
}

void FramedConnection::Resume() {
  if (!closed_) WriteNext();
}

void FramedConnection::CloseAfterFlush() {
  if (closed_) return;
  closeAfterFlush_ = true;
  if (!writing_ && queue_.empty()) Cut(CloseReason::kFlushed);
}

void FramedConnection::WriteNext() {
  if (writing_ || closed_) return;
  if (handler_->HoldWrites()) return;
  if (queue_.empty()) {
    if (closeAfterFlush_) {
      Cut(CloseReason::kFlushed);
      return;
    }
    handler_->OnDrained(*this);
    // OnDrained may have queued (which started the write) or closed.
    return;
  }
  writing_ = true;
  // Everything queued (within a bound) in one system call: a sender of many
  // small frames then costs both ends far less per byte.
  gather_.clear();
  size_t bytes = 0;
  for (const auto& frame : queue_) {
    if (gather_.size() == kMaxGather ||
        (!gather_.empty() && bytes + frame.size() > kMaxGatherBytes))
      break;
    gather_.emplace_back(frame.data(), frame.size());
    bytes += frame.size();
  }
  asio::async_write(socket_, gather_,
                    [self = shared_from_this()](const asio::error_code& ec, size_t written) {
                      self->writing_ = false;
                      if (self->closed_) return;
                      if (ec) {
                        self->Cut(CloseReason::kIoError);
                        return;
                      }
                      for (size_t i = 0; i < self->gather_.size(); ++i) {
                        self->queuedBytes_ -= self->queue_.front().size();
                        self->queue_.pop_front();
                      }
                      const auto pause = self->handler_->PauseAfterWrite(written);
                      if (pause.count() <= 0) {
                        self->WriteNext();
                        return;
                      }
                      self->writing_ = true;
                      self->pause_.expires_after(pause);
                      self->pause_.async_wait([self](const asio::error_code&) {
                        self->writing_ = false;
                        if (!self->closed_) self->WriteNext();
                      });
                    });
}

void FramedConnection::Tick() {
  if (closed_) return;
  const bool partial = reader_.Pending() > 0;
  const bool noFrame = frames_ == framesAtTick_;
  const bool noByte = bytesIn_ == bytesAtTick_;
  slowTicks_ = partial && partialAtTick_ && noFrame ? slowTicks_ + 1 : 0;
  idleTicks_ = noByte ? idleTicks_ + 1 : 0;
  partialAtTick_ = partial;
  framesAtTick_ = frames_;
  bytesAtTick_ = bytesIn_;

  auto shortest = limits_.frameTime.count() > 0 ? limits_.frameTime : limits_.idleTime;
  if (limits_.idleTime.count() > 0) shortest = std::min(shortest, limits_.idleTime);
  const auto period = std::max(shortest / kTicksPerLimit, std::chrono::milliseconds(1));
  const int slowLimit = TicksFor(limits_.frameTime, period);
  const int idleLimit = TicksFor(limits_.idleTime, period);
  if (slowLimit > 0 && slowTicks_ >= slowLimit) {
    Cut(CloseReason::kSlowFrame);
    return;
  }
  if (idleLimit > 0 && idleTicks_ >= idleLimit) {
    Cut(CloseReason::kIdle);
    return;
  }
  tick_.expires_at(AlignedAfter(period));
  tick_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (!ec) self->Tick();
  });
}

void FramedConnection::Cut(CloseReason reason) {
  if (closed_) return;
  switch (reason) {
    case CloseReason::kQueueFull:
      ++Cuts().queueFull;
      break;
    case CloseReason::kSlowFrame:
      ++Cuts().slowFrame;
      break;
    case CloseReason::kIdle:
      ++Cuts().idle;
      break;
    case CloseReason::kBadFrame:
      ++Cuts().badFrame;
      break;
    default:
      break;
  }
  Shut();
  handler_->OnClosed(*this, reason);
}

void FramedConnection::Close() {
  Shut();
}

void FramedConnection::Shut() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  tick_.cancel();
  pause_.cancel();
  queue_.clear();
  queuedBytes_ = 0;
}

}  // namespace qrv::tmcc::connection
