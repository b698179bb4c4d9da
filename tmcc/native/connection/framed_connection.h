// One framed TCP connection, used by every client of the device library and
// by the simulated devices: frames are decoded in place from the thread's
// shared receive buffer (or the connection's own, for a frame split across
// reads), the outgoing queue is bounded, a frame that does not arrive
// whole within its time and a peer silent for too long are cut.
//
// Threading: everything runs on the strand given at construction; the handler
// is called on it only, and never after Close() returned.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "tmcc/native/codec/frame.h"
#include "tmcc/native/connection/frame_reader.h"

namespace qrv::tmcc::connection {

using Strand = asio::strand<asio::io_context::executor_type>;

// The first multiple of `period` on the steady clock at least `period` from
// now. Periodic timers of many connections with the same period then come
// due together, and one wake-up serves them all; no interval is shorter than
// the period (the first one is at most twice as long).
// Threading: any thread; reads the clock only.
inline std::chrono::steady_clock::time_point AlignedAfter(
    std::chrono::steady_clock::duration period) {
  const auto earliest = std::chrono::steady_clock::now() + period;
  const auto past = earliest.time_since_epoch() % period;
  return past.count() == 0 ? earliest : earliest + (period - past);
}

struct Limits {
  size_t readBuffer = 16 * 1024;     // initial own receive buffer (for frames split across reads)
  uint32_t maxPayload = UINT32_MAX;  // on top of the per-type bounds
  size_t maxQueuedBytes = 1024 * 1024;     // unsent bytes before the peer is cut
  std::chrono::milliseconds frameTime{0};  // a begun frame must be whole within this (0: none)
  std::chrono::milliseconds idleTime{0};   // no byte at all for this long (0: none)
};

enum class CloseReason {
  kPeerClosed,  // orderly end or reset by the peer
  kIoError,     // a read or write failed
  kBadFrame,    // bytes that are not a valid frame
  kQueueFull,   // the peer does not read: its queue passed the bound
  kSlowFrame,   // a frame did not arrive whole within its time
  kIdle,        // nothing received for the idle time
  kHandler,     // the handler refused a frame
  kFlushed,     // CloseAfterFlush() completed
};

const char* CloseReasonText(CloseReason reason);

// Process-wide counts of connections cut for each reason (for figures and tests).
struct CutCounters {
  std::atomic<uint64_t> queueFull{0};
  std::atomic<uint64_t> slowFrame{0};
  std::atomic<uint64_t> idle{0};
  std::atomic<uint64_t> badFrame{0};
};
CutCounters& Cuts();

class FramedConnection;

class Handler {
 public:
  // One whole frame; the payload is valid during the call only. Return false
  // to cut the connection as a protocol error (kHandler).
  virtual bool OnFrame(FramedConnection& connection, const protocol::FrameView& frame) = 0;
  // The connection ended by itself (not by Close()); it is closed already.
  virtual void OnClosed(FramedConnection& connection, CloseReason reason) = 0;
  // The outgoing queue ran empty (the simulator refills a flooding stream here).
  virtual void OnDrained(FramedConnection&) {}
  // Pause after writing bytes (a throttled device); zero for none.
  virtual std::chrono::microseconds PauseAfterWrite(size_t /*bytes*/) { return {}; }
  // While true, nothing is written (a stalled device); Resume() restarts writing.
  virtual bool HoldWrites() { return false; }

 protected:
  ~Handler() = default;
};

class FramedConnection : public std::enable_shared_from_this<FramedConnection> {
 public:
  FramedConnection(Strand strand, asio::ip::tcp::socket socket, Limits limits, Handler* handler);
  ~FramedConnection();

  // Starts reading and the deadline checks.
  void Start();
  // Queues one whole frame. Past the queue bound the connection is cut
  // (OnClosed(kQueueFull)) and false returned.
  bool Send(std::vector<uint8_t> frame);
  // Queues unless more than softLimit bytes wait already (then false, nothing
  // queued, the connection stays): for senders that may drop, such as media.
  bool TrySend(std::vector<uint8_t> frame, size_t softLimit);
  // Restarts writing after HoldWrites() turned false.
  void Resume();
  // Closes once everything queued has been written, then OnClosed(kFlushed);
  // frames received meanwhile still reach the handler.
  void CloseAfterFlush();
  // Closes now; the handler is never called again.
  void Close();

  bool closed() const { return closed_; }
  size_t queuedBytes() const { return queuedBytes_; }
  uint64_t framesReceived() const { return frames_; }
  uint64_t bytesReceived() const { return bytesIn_; }
  const asio::ip::tcp::endpoint& peer() const { return peer_; }
  asio::ip::tcp::socket& socket() { return socket_; }

 private:
  void Read();
  void OnReadable(const asio::error_code& ec);
  void WriteNext();
  void Tick();
  void Cut(CloseReason reason);
  void Shut();

  Strand strand_;
  asio::ip::tcp::socket socket_;
  Limits limits_;
  Handler* handler_;
  asio::ip::tcp::endpoint peer_;
  FrameReader reader_;
  asio::steady_timer tick_;
  asio::steady_timer pause_;
  std::deque<std::vector<uint8_t>> queue_;
  std::vector<asio::const_buffer> gather_;  // the frames of the write in progress
  size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool closeAfterFlush_ = false;
  bool closed_ = false;
  uint64_t frames_ = 0;
  uint64_t bytesIn_ = 0;
  // Deadline checks run on a coarse tick, so reads cost no clock call.
  uint64_t framesAtTick_ = 0;
  uint64_t bytesAtTick_ = 0;
  bool partialAtTick_ = false;
  int slowTicks_ = 0;
  int idleTicks_ = 0;
};

}  // namespace qrv::tmcc::connection
